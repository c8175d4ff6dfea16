#pragma once

#include <string>
#include <vector>

// Runs one of the built programs (build/bin) with its arguments, without a shell, and gives back
// what it wrote and how it ended.
struct ToolRun {
  int status = -1;  // exit code, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

ToolRun run_tool(const std::string& program, const std::vector<std::string>& args);

// A fresh file path in the test's temporary directory.
std::string temp_path(const std::string& name);
