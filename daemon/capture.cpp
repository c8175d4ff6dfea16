#include "capture.h"

#include <cerrno>
#include <cstring>

#include "klx/replay.h"

namespace klxhost {

Capture::~Capture() {
  if (file_) std::fclose(file_);
}

bool Capture::open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "a");
  if (!file_) error = path + ": " + std::strerror(errno);
  return file_ != nullptr;
}

void Capture::exchange(int cid1, int cid2, const klx::Frame* answer) {
  if (!file_ || cid1 < 0 || cid2 < 0) return;
  const std::string line =
      klx::ReplayPeer::line_of(static_cast<uint8_t>(cid1), static_cast<uint8_t>(cid2), answer);
  std::fprintf(file_, "%s\n", line.c_str());
  std::fflush(file_);
}

}  // namespace klxhost
