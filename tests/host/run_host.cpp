#include "run_host.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "support/run_tool.h"
#include "support/scratch.h"

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

std::string read_file(const std::string& path) { return slurp(path); }

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fast_clock_env(int speed) { return ::fast_clock_env(speed); }

Result run(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> all;
  if (std::find(args.begin(), args.end(), "--plugin") == args.end())
    all = {"--plugin", KLX_PLUGIN_PATH};
  all.insert(all.end(), args.begin(), args.end());
  const ToolRun t = run_program(binary(), all, env);
  return {t.status, t.out, t.err};
}

}  // namespace run_host
