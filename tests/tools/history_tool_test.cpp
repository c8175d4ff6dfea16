// klx-history on a database written through the host's own store: rounds and alarm transitions
// for a time range, and record fields over time as CSV.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "acquisition/record.h"
#include "klx/store.h"
#include "support/run_tool.h"

namespace {

std::vector<uint8_t> record_with(float dc_volts, float line1_a) {
  korvantis_419_Data_t rec{};
  rec.data_id = 7;
  rec.ac.channel_count = 1;
  rec.acChannel[0].a = line1_a;
  rec.dc.voltage = dc_volts;
  const auto* p = reinterpret_cast<const uint8_t*>(&rec);
  return std::vector<uint8_t>(p, p + sizeof rec);
}

class HistoryTool : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = temp_path("history.db");
    std::string error;
    auto db = klx::HistoryDb::open(path_, error);
    ASSERT_TRUE(db) << error;
    // 2023-11-14 22:13:20 UTC onwards, a round every 10 s; the mains fails in the second.
    db->save_record(7, 1700000000, record_with(53.5f, 230.0f).data(), 587);
    klx::AlarmTransition raise{true, 1, "419610401001", "419610401001", "交流输入", "停电"};
    db->save_alarm(7, 1700000010, raise);
    db->save_record(7, 1700000010, record_with(-0.1f, 0.0f).data(), 587);
    klx::AlarmTransition clear = raise;
    clear.raised = false;
    db->save_alarm(7, 1700000020, clear);
    db->save_record(7, 1700000020, record_with(52.25f, 229.5f).data(), 587);
    db->save_record(9, 1700000030, record_with(54.0f, 231.0f).data(), 587);
  }
  std::string path_;
};

TEST_F(HistoryTool, RoundsWithAlarmTransitions) {
  const ToolRun r = run_tool("klx-history", {"--db", path_, "--alarms", "--data-id", "7"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out,
      "2023-11-14 22:13:20 +0000  round  #1  data_id 7  AC1 230/0/0 V 0 Hz; rectifiers 0 at 0 V 0 "
      "A; DC 53.5 V 0 A\n"
      "2023-11-14 22:13:30 +0000  round  #2  data_id 7  AC1 0/0/0 V 0 Hz; rectifiers 0 at 0 V 0 A; "
      "DC - V 0 A\n"
      "2023-11-14 22:13:30 +0000  raise  data_id 7  level 1  419610401001  交流输入 停电\n"
      "2023-11-14 22:13:40 +0000  round  #3  data_id 7  AC1 229.5/0/0 V 0 Hz; rectifiers 0 at 0 V "
      "0 "
      "A; DC 52.25 V 0 A\n"
      "2023-11-14 22:13:40 +0000  clear  data_id 7  level 1  419610401001  交流输入 停电\n");
}

TEST_F(HistoryTool, TimeRange) {
  const struct {
    std::vector<std::string> range;
    size_t lines;
  } rows[] = {
      {{}, 4},
      {{"--from", "1700000010"}, 3},
      {{"--from", "2023-11-14 22:13:30", "--to", "2023-11-14 22:13:40"}, 2},
      {{"--to", "2023-11-14T22:13:20"}, 1},
      {{"--from", "2023-11-15"}, 0},
      {{"--from", "2023-11-14", "--to", "2023-11-14"}, 4},  // a date-only end includes its day
  };
  for (const auto& row : rows) {
    std::vector<std::string> args{"--db", path_};
    args.insert(args.end(), row.range.begin(), row.range.end());
    const ToolRun r = run_tool("klx-history", args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n')), row.lines)
        << r.out;
  }
}

TEST_F(HistoryTool, FieldsOverTimeAsCsv) {
  const ToolRun r =
      run_tool("klx-history", {"--db", path_, "--csv", "dc.voltage", "--csv", "acChannel[0].a"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "time,epoch,data_id,dc.voltage,acChannel[0].a\n"
            "2023-11-14 22:13:20 +0000,1700000000,7,53.5,230\n"
            "2023-11-14 22:13:30 +0000,1700000010,7,,0\n"
            "2023-11-14 22:13:40 +0000,1700000020,7,52.25,229.5\n"
            "2023-11-14 22:13:50 +0000,1700000030,9,54,231\n");
}

// The trends export: the rounds' values per bucket, an absent value leaving no bucket behind.
TEST_F(HistoryTool, SeriesAsCsvAndJson) {
  const std::vector<std::string> range = {"--db",   path_,        "--data-id", "7",
                                          "--from", "1700000000", "--to",      "1700000030"};
  auto args = range;
  args.insert(args.end(), {"--series", "dc.voltage", "--csv"});
  ToolRun r = run_tool("klx-history", args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "time,dc.voltage.min,dc.voltage.mean,dc.voltage.max\n"
            "1700000000,53.5,53.5,53.5\n"
            "1700000020,52.25,52.25,52.25\n");
  args = range;
  args.insert(args.end(), {"--series", "default"});
  r = run_tool("klx-history", args);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* text : {R"("tier":"raw")", R"("name":"ac1.a")", R"("event":"raise")"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
}

TEST_F(HistoryTool, ClearRefusals) {
  const struct {
    std::vector<std::string> args;
    std::string err;
    int status;  // 2 for a command-line mistake
  } rows[] = {
      {{"--db", "/nonexistent/h.db"},
       "klx-history: /nonexistent/h.db: unable to open database file\n",
       1},
      {{"--csv", "dc.volts"},
       "klx-history: the record has no field \"dc.volts\"; fields are named as in klx-record "
       "--table (dc.voltage, acChannel[0].a, rcChannel[2].current, ...)\n",
       1},
      {{"--series", "dc.voltage"}, "klx-history: --series needs --data-id\n", 2},
      {{"--series", "dc.volts", "--data-id", "7"},
       "klx-history: no series \"dc.volts\" (dc.voltage, ac1.a, rc.current, ...)\n",
       2},
      {{"--from", "yesterday"},
       "klx-history: not a time: \"yesterday\" (epoch seconds, or YYYY-MM-DD [HH:MM[:SS]] local "
       "time)\n",
       2},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    if (args[0] != "--db") args.insert(args.begin(), {"--db", path_});
    const ToolRun r = run_tool("klx-history", args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.err, row.err);
  }
}

// A query that fails part-way is an error, not a short listing.
TEST(HistoryToolDamage, CorruptPageIsAnError) {
  const std::string path = temp_path("corrupt.db");
  {
    std::string error;
    auto db = klx::HistoryDb::open(path, error);
    ASSERT_TRUE(db) << error;
    for (int i = 0; i < 60; ++i)
      db->save_record(7, 1700000000 + i, record_with(53.5f, 230.0f).data(), 587);
  }
  // The last page holds the latest rows: its header made nonsense.
  FILE* f = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 0, SEEK_END);
  std::fseek(f, std::ftell(f) - 4096, SEEK_SET);
  std::fwrite("\x5a\x5a\x5a\x5a\x5a\x5a\x5a\x5a", 1, 8, f);
  std::fclose(f);
  const ToolRun r = run_tool("klx-history", {"--db", path});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.err.find("malformed"), std::string::npos) << r.err;
}

}  // namespace
