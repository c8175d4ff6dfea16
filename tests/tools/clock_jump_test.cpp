// klx-host with the in-process simulator while its wall clock is set back by an hour and then
// forward by a day: libfaketime reads the clock's offset from a file that the test rewrites once
// the runner has completed some rounds (the clock also runs 20 times faster, so rounds come every
// 0.1 s). Rounds go on through both jumps, the records' time stamps follow the clock, and no
// alarm is left standing.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <poll.h>

#include <ctime>
#include <fstream>

#include "support/run_tool.h"

namespace {

constexpr int kRounds = 15;

// update_time of each published record in the trace, as epoch seconds (UTC).
std::vector<long> stamps(const std::string& trace) {
  std::vector<long> out;
  std::ifstream in(trace);
  for (std::string l; std::getline(in, l);) {
    Json::Value v;
    if (!Json::Reader().parse(l, v) || v["ev"] != "publish") continue;
    const std::string hex = v["record"].asString();
    if (hex.size() < 2 * 562) continue;
    int b[7];
    for (int i = 0; i < 7; ++i) b[i] = std::stoi(hex.substr(2 * (555 + i), 2), nullptr, 16);
    std::tm t{};
    t.tm_year = (b[0] << 8 | b[1]) - 1900;
    t.tm_mon = b[2] - 1;
    t.tm_mday = b[3];
    t.tm_hour = b[4];
    t.tm_min = b[5];
    t.tm_sec = b[6];
    out.push_back(static_cast<long>(timegm(&t)));
  }
  return out;
}

// Waits (at most 20 s) until the runner has published `n` records.
bool published(const std::string& trace, size_t n) {
  for (int i = 0; i < 4000; ++i) {
    if (stamps(trace).size() >= n) return true;
    poll(nullptr, 0, 5);
  }
  return false;
}

void set_offset(const std::string& file, const std::string& offset) {
  std::ofstream(file) << offset << " x20\n";
}

TEST(RunnerClockJumps, SetBackAnHourAndForwardADayWhilePolling) {
  std::vector<std::string> env = fast_clock_env(20);
  if (env.empty()) GTEST_SKIP() << "libfaketime is not installed";
  const std::string clock = temp_path("clock"), config = temp_path("config.json"),
                    trace = temp_path("trace.jsonl");
  for (auto& e : env)
    if (e.rfind("FAKETIME=", 0) == 0) e = "FAKETIME_TIMESTAMP_FILE=" + clock;
  set_offset(clock, "+0");
  std::ofstream(config) << R"({"devices": [{"data_id": 7, "port": "sim",
    "settings": {"appSetting": {"has_dc": 1, "b_mode": 2}},
    "alarm_levels": {"120600180010": 1, "210600320010": 1, "210600340010": 1},
    "thresholds": {"210600320010": 47, "210600340010": 58}}]})";

  Background host = start_tool("klx-host",
                               {"--plugin", KLX_PLUGIN_PATH, "--config", config, "--rounds",
                                std::to_string(kRounds), "--trace", trace, "--timeout", "20"},
                               env, Stdout::discard);
  ASSERT_TRUE(published(trace, 5));
  set_offset(clock, "-3600");
  ASSERT_TRUE(published(trace, 10));
  set_offset(clock, "+86400");
  const ToolRun r = finish_tool(host);

  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<long> t = stamps(trace);
  ASSERT_EQ(t.size(), static_cast<size_t>(kRounds));
  int back = 0, forward = 0;
  for (size_t i = 1; i < t.size(); ++i) {
    const long step = t[i] - t[i - 1];
    back += step < -3000 ? 1 : 0;
    forward += step > 80000 ? 1 : 0;
    if (step > -3000 && step < 80000) {
      EXPECT_GE(step, 2) << "round " << i + 1;  // rounds are 2 s apart
    }
  }
  EXPECT_EQ(back, 1) << "the clock set back shows in the time stamps";
  EXPECT_EQ(forward, 1) << "the clock set forward shows in the time stamps";
  const std::string last = "round " + std::to_string(kRounds) + ":";
  const size_t at = r.err.find(last);
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_NE(r.err.find("active alarms 0", at), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("alarm raised"), std::string::npos) << r.err;
  std::remove(clock.c_str());
  std::remove(config.c_str());
  std::remove(trace.c_str());
}

}  // namespace
