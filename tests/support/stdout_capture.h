#pragma once

#include <string>

// Captures everything written to standard output (std::cout and printf alike) while alive.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  // Stops capturing (once) and returns what was written.
  std::string take();

 private:
  bool active_ = true;
  std::string text_;
};
