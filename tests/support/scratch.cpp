#include "scratch.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace klx_test {
namespace {

pid_t owner = 0;

// A forked child that exits must not take its parent's folder with it.
void remove_scratch() {
  if (getpid() != owner) return;
  std::error_code ec;
  std::filesystem::remove_all(scratch_root(), ec);
}

std::string make_root() {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/klx_test_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed under " + pattern);
  return std::string(buf.data());
}

}  // namespace

const std::string& scratch_root() {
  static const std::string root = make_root();
  static const bool registered = (owner = getpid(), std::atexit(remove_scratch), true);
  (void)registered;
  return root;
}

std::string scratch_path(const std::string& name) {
  static int serial = 0;
  return scratch_root() + "/" + std::to_string(++serial) + "_" + name;
}

}  // namespace klx_test
