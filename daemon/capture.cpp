#include "capture.h"

#include "klx/replay.h"

namespace klxhost {

void Capture::exchange(int cid1, int cid2, const klx::Frame* answer) {
  if (!enabled() || cid1 < 0 || cid2 < 0) return;
  write(klx::ReplayPeer::line_of(static_cast<uint8_t>(cid1), static_cast<uint8_t>(cid2), answer));
}

}  // namespace klxhost
