// The runner against klx-sim over a pseudo-terminal: a mains failure scheduled in the simulator's
// model shows in the records and in the alarm transitions of the history database. Both
// programs' wall clocks run 25 times faster (libfaketime), so 14 rounds take about a second; the
// failure lasts 10 s of their time (0.4 s), long enough that a busy machine still polls in it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <fstream>

#include "acquisition/record.h"
#include "support/run_tool.h"

namespace {

const char* kModel = R"({
  "ac": {"lines": [{"a": 230, "b": 231, "c": 229, "f": 50}, {"a": 229, "b": 230, "c": 231, "f": 50}]},
  "rectifiers": {"voltage": 53.5, "modules": [{"current": 10}, {"current": 11}]},
  "dc": {"panels": [{"voltage": 53.5, "current": 21}]},
  "events": [{"at": 8, "type": "mains_failure", "line": 1, "duration": 10}]
})";

std::string config_for(const std::string& port) {
  return R"({"devices": [{"data_id": 7, "address": 1, "port": ")" + port + R"(",
    "settings": {"appSetting": {"has_dc": 1}},
    "limits": {"419610401001": {"low": 180, "high": 260, "level": 1}}}]})";
}

// Phase A of line 1 in every saved record, in order: H for mains, L for none.
std::string phase_a_pattern(sqlite3* db) {
  std::string pattern;
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT record FROM history WHERE data_id = 7 ORDER BY id", -1, &st,
                     nullptr);
  while (sqlite3_step(st) == SQLITE_ROW) {
    korvantis_419_Data_t rec{};
    if (sqlite3_column_bytes(st, 0) != static_cast<int>(sizeof rec)) return "bad record";
    std::memcpy(static_cast<void*>(&rec), sqlite3_column_blob(st, 0), sizeof rec);
    pattern += rec.acChannel[0].a.get() > 200.0f ? 'H' : 'L';
  }
  sqlite3_finalize(st);
  return pattern;
}

std::string alarm_events(sqlite3* db) {
  std::string out;
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT event, key FROM alarm_events WHERE data_id = 7 ORDER BY id", -1,
                     &st, nullptr);
  while (sqlite3_step(st) == SQLITE_ROW)
    out += std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) + " " +
           reinterpret_cast<const char*>(sqlite3_column_text(st, 1)) + "\n";
  sqlite3_finalize(st);
  return out;
}

TEST(RunnerAgainstKlxSim, ScheduledMainsFailureOverAPty) {
  const auto fast = fast_clock_env(25);
  if (fast.empty()) GTEST_SKIP() << "libfaketime is not installed";
  const std::string model = temp_path("model.json"), config = temp_path("config.json"),
                    db_path = temp_path("history.db");
  std::ofstream(model) << kModel;

  Background sim = start_tool("klx-sim", {"--model", model, "--pty"}, fast);
  const std::string pty = first_line(sim);
  ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << "klx-sim printed \"" << pty << "\"";
  std::ofstream(config) << config_for(pty);
  const ToolRun host = run_tool(
      "klx-host",
      {"--plugin", KLX_PLUGIN_PATH, "--config", config, "--rounds", "14", "--db", db_path}, fast);
  const ToolRun sim_end = stop_tool(sim);
  ASSERT_EQ(host.status, 0) << host.err;
  EXPECT_EQ(sim_end.status, 0) << sim_end.err;
  EXPECT_NE(host.err.find("14 rounds"), std::string::npos) << host.err;
  EXPECT_NE(host.err.find("0 time-outs, 0 RTN errors, 0 bad frames"), std::string::npos)
      << host.err;

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  const std::string pattern = phase_a_pattern(db);
  EXPECT_EQ(pattern.size(), 14u);
  std::string runs;  // high, then low, then high again
  for (char c : pattern)
    if (runs.empty() || runs.back() != c) runs += c;
  EXPECT_EQ(runs, "HLH") << pattern;
  EXPECT_EQ(alarm_events(db), "raise 419610401001\nclear 419610401001\n");
  sqlite3_close(db);
}

}  // namespace
