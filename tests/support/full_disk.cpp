#include "full_disk.h"

namespace klx_test {

FullDisk::FullDisk() {
  if (getrlimit(RLIMIT_FSIZE, &old_) != 0) return;
  rlimit tight = old_;
  tight.rlim_cur = 0;
  previous_ = std::signal(SIGXFSZ, SIG_IGN);
  ok_ = setrlimit(RLIMIT_FSIZE, &tight) == 0;
}

void FullDisk::lift() {
  if (lifted_) return;
  lifted_ = true;
  if (ok_) setrlimit(RLIMIT_FSIZE, &old_);
  std::signal(SIGXFSZ, previous_);
}

}  // namespace klx_test
