#include "run_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/scratch.h"

extern char** environ;

namespace run_host {

std::string binary() {
  const std::string path = std::string(KLX_BIN_DIR) + "/klx-host";
  return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

std::string scratch_dir(const std::string& name) {
  const std::string dir = klx_test::scratch_path(name);
  mkdir(dir.c_str(), 0700);
  return dir;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fast_clock_env(int speed) {
  for (const char* lib : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                          "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
                          "/usr/lib/faketime/libfaketime.so.1"}) {
    if (access(lib, R_OK) != 0) continue;
    // A sanitizer build wants its runtime first; libfaketime preloaded before it is harmless,
    // as the sanitizers do not intercept the clock.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + lib, "FAKETIME=+0 x" + std::to_string(speed),
            "FAKETIME_DONT_FAKE_MONOTONIC=1", "FAKETIME_NO_CACHE=1",
            std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                "verify_asan_link_order=0"};
  }
  return {};
}

Result run(const std::vector<std::string>& args, const std::vector<std::string>& extra_env) {
  const std::string dir = scratch_dir("run");
  const std::string out = dir + "/stdout", err = dir + "/stderr";
  std::vector<std::string> argv_s = {binary()};
  if (std::find(args.begin(), args.end(), "--plugin") == args.end())
    argv_s.insert(argv_s.end(), {"--plugin", KLX_PLUGIN_PATH});
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> env_s = {"TZ=UTC"};
  env_s.insert(env_s.end(), extra_env.begin(), extra_env.end());
  // Inherited variables give way to the ones set here.
  const auto overridden = [&env_s](const std::string& var) {
    const std::string name = var.substr(0, var.find('=') + 1);
    return std::any_of(env_s.begin(), env_s.end(),
                       [&name](const std::string& e) { return e.rfind(name, 0) == 0; });
  };
  for (char** e = environ; *e; ++e)
    if (!overridden(*e)) env_s.push_back(*e);
  std::vector<char*> env;
  for (auto& e : env_s) env.push_back(&e[0]);
  env.push_back(nullptr);

  pid_t pid = 0;
  Result r;
  if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), env.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&fa);
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

}  // namespace run_host
