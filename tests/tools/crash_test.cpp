// klx-host killed with SIGKILL at varied points of a run (while starting, between rounds, in the
// middle of the writes that end a round) leaves a cache that parses and holds a whole record and
// a history database that passes its integrity check; the next run goes on from both.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "klx/store.h"
#include "support/run_tool.h"

namespace {

std::string first_text(const std::string& db_path, const char* sql) {
  sqlite3* db = nullptr;
  std::string out = "cannot open";
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    out = "no row";
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
      out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

// "" when the cache is absent or holds data identifier 1's whole record; otherwise what is wrong.
std::string cache_fault(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream text;
  text << in.rdbuf();
  std::map<uint32_t, klx::RecordCache::Entry> entries;
  std::string error;
  if (!klx::RecordCache::parse(text.str(), entries, error)) return "does not parse: " + error;
  if (!entries.count(1) || entries[1].record.size() != 587) return "no whole record";
  return "";
}

TEST(CrashConsistency, KilledAtVariedPointsLeavesUsableFiles) {
  std::vector<std::string> env = fast_clock_env(50);
  if (env.empty()) GTEST_SKIP() << "libfaketime is not installed";
  const std::string cache = temp_path("cache.json"), db = temp_path("history.db");
  const std::vector<std::string> args = {"--port", "sim", "--cache", cache, "--db", db};
  std::vector<std::string> one_round = args;
  one_round.insert(one_round.end(), {"--rounds", "1"});
  // A whole run first: the plug-in's lines in a round measure where the kill points go.
  const ToolRun whole = run_tool("klx-host", one_round, env);
  ASSERT_EQ(whole.status, 0) << whole.err;
  const int span = static_cast<int>(std::count(whole.out.begin(), whole.out.end(), '\n'));
  for (int i = 0; i < 20; ++i) {
    // Kill points spread over the start, the restored record's writes and a round.
    const int lines = (i * 7) % (span + 1);
    Background b = start_tool("klx-host", args, env);
    ASSERT_GT(b.pid, 0);
    for (int n = 0; n < lines && !first_line(b).empty(); ++n) {
    }
    kill(b.pid, SIGKILL);
    finish_tool(b);
    EXPECT_EQ(cache_fault(cache), "") << "kill " << i << " after " << lines << " lines";
    if (access(db.c_str(), F_OK) == 0) {  // killed before it was created: nothing to check
      EXPECT_EQ(first_text(db, "PRAGMA integrity_check"), "ok") << "kill " << i;
    }
  }
  const std::string before = first_text(db, "SELECT count(*) FROM history");
  const ToolRun r = run_tool("klx-host", one_round, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("data_id 1: cached record restored"), std::string::npos) << r.err;
  // Temporary files of killed writes are gone: only the cache and the database remain.
  const std::string prefix = cache.substr(cache.rfind('/') + 1) + ".";
  for (const auto& e : std::filesystem::directory_iterator(cache.substr(0, cache.rfind('/'))))
    EXPECT_NE(e.path().filename().string().rfind(prefix, 0), 0u) << e.path();
  EXPECT_EQ(std::stoi(first_text(db, "SELECT count(*) FROM history")), std::stoi(before) + 2)
      << r.err;
}

}  // namespace
