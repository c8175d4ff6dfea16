#include "diag_line.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace klxhost {
namespace {

std::atomic<bool> g_ok{true};

}  // namespace

void write_diag(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      g_ok = false;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

bool diag_ok() { return g_ok; }

}  // namespace klxhost
