// klx-host on a replay file: one full first round with AC and DC, compared call by call with the
// same round played in-process, plus the runner's requests, errors and exit codes.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <memory>

#ifdef KLX_HAVE_STORE
#include <sqlite3.h>
#endif

#include "round_script.h"
#include "run_host.h"
#include "support/hex.h"

namespace {

#ifdef KLX_HAVE_STORE
int count_rows(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  const int n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}
#endif

// The record's time stamp (update_time, 7 bytes at offset 555) differs between two runs.
std::string without_stamp(std::string record_hex) {
  if (record_hex.size() >= 2 * 562) record_hex.replace(2 * 555, 14, 14, '-');
  return record_hex;
}

Json::Value parse(const std::string& line) {
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  Json::Value v;
  std::string errors;
  EXPECT_TRUE(r->parse(line.data(), line.data() + line.size(), &v, &errors)) << line;
  return v;
}

std::vector<Json::Value> events(const std::vector<std::string>& lines, const std::string& ev) {
  std::vector<Json::Value> out;
  for (const auto& l : lines) {
    Json::Value v = parse(l);
    if (v["ev"] == ev) out.push_back(v);
  }
  return out;
}

struct ReplayRun : ::testing::Test {
  std::string dir;
  void SetUp() override {
    if (run_host::binary().empty()) GTEST_SKIP() << "this build has no klx-host";
    dir = run_host::scratch_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    run_host::write_file(dir + "/round.jsonl", round_script::replay_text());
    run_host::write_file(dir + "/config.json",
                         round_script::config_json("replay:" + dir + "/round.jsonl"));
  }
  run_host::Result run(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--config", dir + "/config.json", "--rounds", "1",
                                     "--trace",  dir + "/trace.jsonl"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_host::run(args);
  }
  std::vector<std::string> trace() const { return run_host::read_lines(dir + "/trace.jsonl"); }
};

TEST_F(ReplayRun, FirstRoundWithAcAndDcMatchesTheRoundPlayedInProcess) {
  const auto r = run();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  TestDevice ref(7);
  round_script::play_in_process(ref);
  const auto lines = trace();

  std::vector<std::string> cmds;
  for (const auto& e : events(lines, "cmd"))
    cmds.push_back(e["cid1"].asString() + e["cid2"].asString() + ":" + e["data"].asString());
  EXPECT_EQ(cmds, (std::vector<std::string>{"4041:01", "4043:01", "4044:01",
                                            "4141:", "4143:", "4144:", "4241:ff", "4244:ff"}));
  ASSERT_EQ(ref.rec.commands.size(), cmds.size());

  const auto published = events(lines, "publish");
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0]["id"].asInt(), 5535);
  const std::string record = published[0]["record"].asString();
  ASSERT_EQ(record.size(), 1174u);
  ASSERT_EQ(ref.rec.published.size(), 1u);
  EXPECT_EQ(without_stamp(record), without_stamp(hex::encode(ref.rec.published[0])));
  EXPECT_EQ(record.substr(2 * 41, 8), "00006643");   // line 1, phase A: 230 V
  EXPECT_EQ(record.substr(2 * 534, 8), "00005642");  // DC bus: 53.5 V
  EXPECT_EQ(record.substr(0, 8), "07000000");        // data identifier 7

  const auto history = events(lines, "history");
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0]["record"].asString(), record);

  // Communication rule (cleared), the round's rules, the communication rule again.
  const auto batches = events(lines, "batch");
  ASSERT_EQ(batches.size(), ref.rec.batches.size());
  ASSERT_EQ(batches.size(), 3u);
  for (size_t b = 0; b < batches.size(); ++b) {
    const Json::Value& rules = batches[b]["rules"];
    ASSERT_EQ(rules.size(), ref.rec.batches[b].size()) << b;
    for (Json::ArrayIndex i = 0; i < rules.size(); ++i) {
      const rule_value& want = ref.rec.batches[b][i];
      EXPECT_EQ(rules[i]["level"].asInt(), want.level);
      EXPECT_EQ(rules[i]["key"].asString(), want.key);
      EXPECT_EQ(rules[i]["alarm_id"].asString(), want.alarm_id);
      EXPECT_EQ(rules[i]["text1"].asString(), want.text1);
      EXPECT_EQ(rules[i]["text2"].asString(), want.text2);
      EXPECT_EQ(rules[i]["active"].asBool(), want.value != 0.0);
      EXPECT_EQ(rules[i]["count"].asInt(), want.count);
    }
  }
  EXPECT_EQ(batches[0]["rules"][0]["key"].asString(), "120600180010");
  EXPECT_EQ(batches[0]["rules"][0]["text2"].asString(), "通信异常");
  EXPECT_FALSE(batches[0]["rules"][0]["active"].asBool());

  const auto checks = events(lines, "check");
  ASSERT_EQ(checks.size(), ref.rec.checks.size());
  for (size_t i = 0; i < checks.size(); ++i) {
    EXPECT_EQ(checks[i]["id"].asString(), ref.rec.checks[i].id);
    EXPECT_EQ(checks[i]["value"].asFloat(), ref.rec.checks[i].value);
  }
  // Three phase voltages share the report setting of the first: each is due at once.
  const auto reports = events(lines, "report");
  ASSERT_EQ(reports.size(), ref.rec.reports.size());
  ASSERT_EQ(reports.size(), 3u);
  for (size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i]["id"].asString(), ref.rec.reports[i].id);
    EXPECT_EQ(reports[i]["value"].asFloat(), ref.rec.reports[i].value);
  }
  EXPECT_EQ(reports[0]["value"].asFloat(), 230.0f);

  EXPECT_NE(r.err.find("data_id 7 round 1: AC1 230/231/229 V 50 Hz"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("rvSize is "), std::string::npos);  // the plug-in's own lines
  EXPECT_EQ(r.out.find("klx-host"), std::string::npos);    // and only those
}

TEST_F(ReplayRun, GetsAndIoctlsRunAfterTheRoundsInOrder) {
  // The DC parameter commands are answered with an empty info.
  run_host::write_file(dir + "/round.jsonl", round_script::replay_text() +
                                                 R"({"cid1":"42","cid2":"48","info":""})"
                                                 "\n"
                                                 R"({"cid1":"42","cid2":"49","info":""})"
                                                 "\n");
  const std::string set_dc = R"({"signal_id":"4196A3101001","SetValue":"53.5"})";
  const auto r = run({"--get", "out_v", "--get", "nonsense", "--ioctl", "999:", "--ioctl",
                      "310:" + hex::encode(std::vector<uint8_t>(set_dc.begin(), set_dc.end())),
                      "--ioctl", "999:"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> tail;
  bool requests = false;
  for (const auto& l : trace()) {
    requests = requests || l.find("\"ev\":\"get\"") != std::string::npos;
    if (requests) tail.push_back(l);
  }
  ASSERT_EQ(tail.size(), 6u);
  EXPECT_EQ(tail[0], R"({"ev":"get","name":"out_v","value":53.5})");
  EXPECT_EQ(tail[1], R"({"ev":"get","name":"nonsense","error":"不支持变量"})");
  // Any other code reports the last control command's result: none yet (-1).
  EXPECT_EQ(tail[2], R"({"ev":"ioctl","code":999,"result":0,"written":4,"out":"ffffffff"})");
  EXPECT_EQ(tail[3], R"({"ev":"cmd","cid1":"42","cid2":"48","data":"dc00005642"})");
  EXPECT_EQ(tail[4], R"({"ev":"ioctl","code":310,"result":0,"written":0,"out":""})");
  // The runner waited for the answer: the command is now answered (1).
  EXPECT_EQ(tail[5], R"({"ev":"ioctl","code":999,"result":0,"written":4,"out":"01000000"})");
  EXPECT_NE(r.err.find("klx-host: get out_v = 53.5"), std::string::npos) << r.err;
}

// A restored record counts as the last round, so the next one waits the device's 2 s: the
// child's wall clock runs 50 times faster here.
TEST_F(ReplayRun, CacheIsWrittenAndRestored) {
  const auto fast = run_host::fast_clock_env(50);
  if (fast.empty()) GTEST_SKIP() << "libfaketime is not installed";
  const std::vector<std::string> args = {
      "--config", dir + "/config.json", "--rounds", "1",
      "--trace",  dir + "/trace.jsonl", "--cache",  dir + "/cache.json"};
  auto r = run_host::run(args, fast);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(run_host::read_file(dir + "/cache.json").find("\"data_id\":7"), std::string::npos);
  r = run_host::run(args, fast);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("data_id 7: cached record restored"), std::string::npos) << r.err;
  // The restored record is published before any command goes out.
  const auto lines = trace();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(parse(lines[0])["ev"].asString(), "publish");
  EXPECT_EQ(events(lines, "publish").size(), 2u);
}

TEST_F(ReplayRun, SeveralRoundsAndTheirHistory) {
  const auto fast = run_host::fast_clock_env(50);
  if (fast.empty()) GTEST_SKIP() << "libfaketime is not installed";
  // The host's own limit for phase A of line 1, which the 230 V of every round exceed.
  std::string config = round_script::config_json("replay:" + dir + "/round.jsonl");
  config.replace(config.find("\"ao_settings\""), 0,
                 R"("limits":{"419610401001":{"low":180,"high":220,"level":2}},)");
  run_host::write_file(dir + "/config.json", config);
  const auto r = run_host::run({"--config", dir + "/config.json", "--rounds", "3", "--trace",
                                dir + "/trace.jsonl", "--db", dir + "/history.db"},
                               fast);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto lines = trace();
  EXPECT_EQ(events(lines, "history").size(), 3u);
  // Later rounds ask only what the data-flag bytes ask for.
  EXPECT_EQ(events(lines, "cmd").size(), 8u + 4u + 4u);
  EXPECT_NE(r.err.find("data_id 7 round 3:"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("3 rounds, 16 commands, 16 answers, 0 time-outs"), std::string::npos)
      << r.err;
  // Raised once, in the first round, and still active in the third.
  const std::string raised = "data_id 7: alarm raised: level 2 key 419610401001";
  ASSERT_NE(r.err.find(raised), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(raised, r.err.find(raised) + 1), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("round 3: AC1 230/231/229 V 50 Hz; rectifiers 2 at 54 V 42 A; "
                       "DC 53.5 V 30 A; active alarms 1"),
            std::string::npos)
      << r.err;
#ifdef KLX_HAVE_STORE
  EXPECT_EQ(count_rows(dir + "/history.db", "SELECT count(*) FROM history WHERE data_id = 7"), 3);
  EXPECT_EQ(count_rows(dir + "/history.db",
                       "SELECT count(*) FROM alarm_events WHERE event = 'raise' AND "
                       "key = '419610401001' AND level = 2"),
            1);
  EXPECT_EQ(count_rows(dir + "/history.db", "SELECT count(*) FROM reports"), 3);
#endif
}

// A run against the simulator captured with --capture replays to the same published records.
TEST_F(ReplayRun, CapturedRunReplaysToTheSameRecords) {
  const auto fast = run_host::fast_clock_env(50);
  if (fast.empty()) GTEST_SKIP() << "libfaketime is not installed";
  const std::string capture = dir + "/capture.jsonl";
  std::vector<std::string> records[2];
  for (int pass = 0; pass < 2; ++pass) {
    const std::string trace = dir + "/trace" + std::to_string(pass) + ".jsonl";
    std::vector<std::string> args = {"--rounds", "3", "--trace", trace};
    if (pass == 0) args.insert(args.end(), {"--port", "sim", "--capture", capture});
    if (pass == 1) args.insert(args.end(), {"--port", "replay:" + capture});
    const auto r = run_host::run(args, fast);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (const auto& e : events(run_host::read_lines(trace), "publish"))
      records[pass].push_back(without_stamp(e["record"].asString()));
  }
  EXPECT_EQ(records[0].size(), 3u);
  EXPECT_EQ(records[0], records[1]);
  EXPECT_GE(run_host::read_lines(capture).size(), 8u);
}

// Each row: extra configuration or arguments, the exit code and a text the message must hold.
TEST_F(ReplayRun, BadInputIsReportedWithTheDeviceAndKey) {
  struct Row {
    const char* config;
    std::vector<std::string> args;
    int exit_code;
    const char* message;
  };
  const std::vector<Row> rows = {
      {R"({"devices":[{"data_id":7,"alarm_levels":{"x":"high"}}]})",
       {},
       2,
       R"(device 0 (data_id 7): "alarm_levels"."x" must be an integer)"},
      {R"({"devices":[{"data_id":7,"ao_settings":{"x":{"abs_delta":1,"bogus":1}}}]})",
       {},
       2,
       R"("ao_settings"."x": unknown key "bogus" (known: abs_enabled, abs_delta)"},
      {R"({"devices":[{"address":1}]})", {}, 2, R"(device 0: "data_id" is missing)"},
      {R"({"devices":[{"data_id":1},{"data_id":1}]})", {}, 2, "is used twice"},
      {R"({"devices":[]})", {}, 2, "\"devices\" must be a list"},
      {R"({"devices":[{"data_id":7,"port":"replay:/nonexistent"}]})",
       {},
       2,
       "device 0 (data_id 7): \"port\": replay: /nonexistent: cannot open"},
      {R"({"devices":[{"data_id":1,"port":"sim"},{"data_id":2,"address":2,"port":"sim","rs485":true}]})",
       {},
       2,
       "devices 0 (data_id 1) and 1 (data_id 2) on sim: line settings differ"},
      {R"({"devices":[{"data_id":1,"port":"sim"},{"data_id":2,"port":"sim"}]})",
       {},
       2,
       "devices 0 (data_id 1) and 1 (data_id 2) on sim: both at address 1"},
      {nullptr, {"--ioctl", "abc:00"}, 2, "bad code abc"},
      {nullptr, {"--ioctl", "300:0"}, 2, "pairs of hex digits"},
      {nullptr, {"--plugin", "/nonexistent.so"}, 1, "cannot load /nonexistent.so"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"--rounds", "1"};
    if (row.config) {
      run_host::write_file(dir + "/bad.json", row.config);
      args.insert(args.end(), {"--config", dir + "/bad.json"});
    }
    args.insert(args.end(), row.args.begin(), row.args.end());
    const auto r = run_host::run(args);
    EXPECT_EQ(r.exit_code, row.exit_code) << row.message << "\n" << r.err;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
  }
}

TEST_F(ReplayRun, SilentLineEndsWithAClearErrorWhenNoRoundCompletes) {
  run_host::write_file(dir + "/silent.jsonl", R"({"cid1":"40","cid2":"41","timeout":true})"
                                              "\n");
  run_host::write_file(dir + "/config.json",
                       R"({"devices":[{"data_id":3,"answer_timeout_ms":1,"port":"replay:)" + dir +
                           R"(/silent.jsonl"}]})");
  const auto r = run({"--timeout", "0.05"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("data_id 3: no round completed within 0.05 s"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("time-outs"), std::string::npos) << r.err;
}

}  // namespace
