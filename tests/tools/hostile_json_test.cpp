// Every JSON the programs read, fed what an attacker or a broken disk would give: deep nesting,
// oversize files and lines, bytes that are not JSON. Each is refused with a message and the
// program's exit code for a bad input; a bad cache is ignored and the run goes on.
#include <gtest/gtest.h>

#include "support/run_tool.h"

namespace {

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string deep_object(size_t depth) {
  std::string s;
  for (size_t i = 0; i < depth; ++i) s += "{\"a\":";
  return s + "1" + std::string(depth, '}');
}

void write(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

TEST(HostileJson, EveryReaderRefusesWithAMessage) {
  const std::string big(5 << 20, ' ');
  const struct {
    const char* name;
    std::string text;
    const char* program;
    std::vector<std::string> args;  // FILE stands for the input's path
    int status;
    const char* says;
  } rows[] = {
      {"config 1001 deep",
       nested(1001),
       "klx-host",
       {"--config", "FILE"},
       2,
       "not valid JSON: nested deeper than 64 levels"},
      {"config deep object",
       deep_object(100000),
       "klx-host",
       {"--config", "FILE"},
       2,
       "nested deeper than 64 levels"},
      {"config too large", big, "klx-host", {"--config", "FILE"}, 2, "larger than 4 MiB"},
      {"cache 1001 deep",
       nested(1001),
       "klx-host",
       {"--cache", "FILE", "--rounds", "1"},
       0,
       "nested deeper than 64 levels; ignored"},
      {"cache not JSON",
       std::string("\0\xff{", 3),
       "klx-host",
       {"--cache", "FILE", "--rounds", "1"},
       0,
       "; ignored"},
      {"model 1001 deep",
       nested(1001),
       "klx-host",
       {"--port", "sim:FILE", "--rounds", "1"},
       2,
       "nested deeper than 64 levels"},
      {"model too large",
       big,
       "klx-host",
       {"--port", "sim:FILE", "--rounds", "1"},
       2,
       "larger than 4 MiB"},
      {"replay 1001 deep",
       nested(1001) + "\n",
       "klx-host",
       {"--port", "replay:FILE", "--rounds", "1"},
       2,
       "line 1: not JSON: nested deeper"},
      {"replay long line",
       std::string(200000, 'x'),
       "klx-host",
       {"--port", "replay:FILE", "--rounds", "1"},
       2,
       "line 1: line too long"},
      {"fields 1001 deep",
       nested(1001),
       "klx-record",
       {"--encode", "FILE"},
       1,
       "not valid JSON: nested deeper than 64 levels"},
      {"fields too large", big, "klx-record", {"--encode", "FILE"}, 1, "larger than 4 MiB"},
  };
  for (const auto& row : rows) {
    const std::string path = temp_path("hostile");
    write(path, row.text);
    std::vector<std::string> args = row.args;
    for (auto& a : args) {
      const size_t at = a.find("FILE");
      if (at != std::string::npos) a.replace(at, 4, path);
    }
    const ToolRun r = run_tool(row.program, args);
    EXPECT_EQ(r.status, row.status) << row.name << "\n" << r.err;
    EXPECT_NE(r.err.find(row.says), std::string::npos) << row.name << "\n" << r.err;
    std::remove(path.c_str());
  }
}

}  // namespace
