#include "safe_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace klxhost {
namespace {

// Opens without blocking (a FIFO would wait for its other end), then keeps the descriptor only
// when it is a regular file (or, with `devices`, a character device such as /dev/null), in
// blocking mode again.
int open_regular(const std::string& path, int flags, bool devices, std::string& error) {
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0640);
  if (fd < 0) {
    // ENXIO: a FIFO nobody reads (it would block a writer that waited for one).
    error = errno == ELOOP   ? "is a symbolic link"
            : errno == ENXIO ? "is not a regular file"
                             : std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || (devices && S_ISCHR(st.st_mode)))) {
    error = S_ISDIR(st.st_mode) ? "is a directory" : "is not a regular file";
    ::close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

std::FILE* open_output_file(const std::string& path, bool append, std::string& error) {
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | (append ? O_APPEND : 0);
  const int fd = open_regular(path, flags, true, error);
  if (fd < 0) return nullptr;
  // Truncated only once known to be a regular file.
  struct stat st {};
  if (!append && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
    error = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, append ? "a" : "w");
  if (!f) {
    error = std::strerror(errno);
    ::close(fd);
  }
  return f;
}

bool read_regular_file(const std::string& path, size_t max_bytes, std::string& text,
                       std::string& error) {
  const int fd = open_regular(path, O_RDONLY, false, error);
  if (fd < 0) return false;
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = std::strerror(errno);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > max_bytes) {
      error =
          "larger than " + (max_bytes % (1 << 20) == 0 ? std::to_string(max_bytes >> 20) + " MiB"
                                                       : std::to_string(max_bytes) + " bytes");
      break;
    }
  }
  ::close(fd);
  if (!error.empty()) return false;
  text = std::move(out);
  return true;
}

}  // namespace klxhost
