#pragma once

// A file-size limit of 0 stands in for a full disk: no file may grow (SIGXFSZ ignored, so a
// write that would grow one fails with EFBIG), while writes within a file's present size still
// succeed. Lifted by lift() or when the object goes.

#include <sys/resource.h>

#include <csignal>

namespace klx_test {

class FullDisk {
 public:
  FullDisk();
  ~FullDisk() { lift(); }
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;

  bool ok() const { return ok_; }  // the limit is in force
  void lift();

 private:
  rlimit old_{};
  void (*previous_)(int) = SIG_DFL;
  bool ok_ = false;
  bool lifted_ = false;
};

}  // namespace klx_test
