#pragma once

// The --capture file: every exchange appended as a replay script line (klx/replay.h), flushed
// line by line, so that a session captured at a site plays back with --port replay:FILE.

#include <cstdio>
#include <string>

namespace klx {
struct Frame;
}

namespace klxhost {

class Capture {
 public:
  Capture() = default;
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Opens the file for appending; false with the reason when it cannot.
  bool open(const std::string& path, std::string& error);
  bool enabled() const { return file_ != nullptr; }
  // The command (cid1, cid2) and the frame taken as its answer; null for none.
  void exchange(int cid1, int cid2, const klx::Frame* answer);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace klxhost
