#include "klx/plugin_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace klx {
namespace {

constexpr const char* kPlugin = "korvantis_419.so";

// The folder of the running program, from the kernel's own link: argv[0] and the current folder
// say nothing about where the program lies.
std::string own_folder() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "/usr/bin";
  const std::string self(buf, static_cast<size_t>(n));
  const auto slash = self.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : self.substr(0, slash);
}

}  // namespace

std::vector<std::string> plugin_candidates() {
  const std::string dir = own_folder();
  return {dir + "/../lib/" + kPlugin, dir + "/../lib/klx/plugins/" + kPlugin};
}

std::string default_plugin_path() {
  const auto candidates = plugin_candidates();
  struct stat st {};
  for (const auto& c : candidates)
    if (stat(c.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return c;
  return candidates.back();
}

}  // namespace klx
