#pragma once

// Runs build/bin/klx-host as a child process, as an integrator would (through run_program,
// support/run_tool.h), and collects its exit code, standard output, standard error and trace.

#include <string>
#include <vector>

namespace run_host {

struct Result {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// The runner's path, or an empty string when this build has no runner.
std::string binary();
// A fresh scratch directory for one test.
std::string scratch_dir(const std::string& name);
void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);

// Runs klx-host with `args` under TZ=UTC; the plug-in of this build is passed with --plugin
// unless `args` name one.
Result run(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

// fast_clock_env of support/run_tool.h: the child's wall clock (time(), and so the device's
// round spacing) `speed` times faster, the monotonic clock of the host's time-outs left alone.
std::vector<std::string> fast_clock_env(int speed);

}  // namespace run_host
