#pragma once

// The --capture file: every exchange appended as a replay script line (klx/replay.h), flushed
// line by line, so that a session captured at a site plays back with --port replay:FILE.

#include <string>

#include "line_file.h"

namespace klx {
struct Frame;
}

namespace klxhost {

// Appends to its file (LineFile::open).
class Capture : public LineFile {
 public:
  Capture() : LineFile(Mode::kAppend) {}
  // The command (cid1, cid2) and the frame taken as its answer; null for none.
  void exchange(int cid1, int cid2, const klx::Frame* answer);
};

}  // namespace klxhost
