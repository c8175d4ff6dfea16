// The runner's pieces on their own: the trace's line format, its JSON writing, the
// configuration reader and the --ioctl argument.
#ifdef KLX_HAVE_RUNNER

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

#include "acquisition/record.h"
#include "config.h"
#include "json_out.h"
#include "run_host.h"
#include "runner.h"
#include "summary.h"
#include "trace.h"

namespace {

TEST(TraceJson, FloatsReadBackAsTheSameFloat) {
  const float values[] = {220.0f, 53.5f, 0.1f, -0.1f, 1e-7f, 3.4e38f, 230.1f, 16777217.0f, 0.0f};
  for (float v : values) {
    const std::string text = klxhost::json_float(v);
    EXPECT_EQ(std::strtof(text.c_str(), nullptr), v) << text;
  }
  EXPECT_EQ(klxhost::json_float(220.0f), "220");
  EXPECT_EQ(klxhost::json_float(53.5f), "53.5");
  EXPECT_EQ(klxhost::json_float(0.1f), "0.1");
  EXPECT_EQ(klxhost::json_float(std::nanf("")), "null");
  EXPECT_EQ(klxhost::json_float(INFINITY), "null");
}

TEST(TraceJson, StringsAreEscapedAndStayUtf8) {
  const struct {
    std::string in, out;
  } rows[] = {
      {"通信异常", "\"通信异常\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("x\n\x01y", 4), "\"x\\u000a\\u0001y\""},
      {"\xff"
       "ok",
       "\"\xEF\xBF\xBDok\""},                                        // a stray byte
      {"\xe9\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // a cut-off sequence
      {"\xed\xa0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
  };
  for (const auto& r : rows) {
    std::string out;
    klxhost::append_json_string(out, r.in);
    EXPECT_EQ(out, r.out);
  }
}

TEST(Trace, EveryEventHasItsLineFormat) {
  const std::string path = run_host::scratch_dir("trace") + "/t.jsonl";
  {
    klxhost::Trace t;
    std::string error;
    ASSERT_TRUE(t.open(path, error)) << error;
    const uint8_t one = 0x01, rec[] = {0xAB, 0x01};
    t.cmd(0x40, 0x41, &one, 1);
    t.cmd(0x41, 0x41, nullptr, 0);
    t.publish(5535, rec, 2);
    t.history(rec, 2);
    t.check("419610401001", 220.0f);
    t.report("419110100001", 53.5f);
    rule_value r;
    r.level = 1;
    r.key = "k";
    r.alarm_id = "a";
    r.value = 1.0;
    r.text1 = "t1";
    r.text2 = "名";
    r.count = 100;
    t.batch({r});
    t.batch({});
    t.get_value("out_v", 53.5f);
    t.get_error("x", "不支持变量");
    t.ioctl(310, 0, 0, nullptr, 0);
  }
  EXPECT_EQ(
      run_host::read_lines(path),
      (std::vector<std::string>{
          R"({"ev":"cmd","cid1":"40","cid2":"41","data":"01"})",
          R"({"ev":"cmd","cid1":"41","cid2":"41","data":""})",
          R"({"ev":"publish","id":5535,"record":"ab01"})",
          R"({"ev":"history","record":"ab01"})",
          R"({"ev":"check","id":"419610401001","value":220})",
          R"({"ev":"report","id":"419110100001","value":53.5})",
          R"({"ev":"batch","rules":[{"level":1,"key":"k","alarm_id":"a","text1":"t1","text2":"名","active":true,"count":100}]})",
          R"({"ev":"batch","rules":[]})",
          R"({"ev":"get","name":"out_v","value":53.5})",
          R"({"ev":"get","name":"x","error":"不支持变量"})",
          R"({"ev":"ioctl","code":310,"result":0,"written":0,"out":""})",
      }));
}

TEST(RunnerConfig, DefaultsAndTables) {
  const auto c = klxhost::parse_site_config(
      R"({"devices":[{"data_id":7,"alarm_levels":{"a":2},"thresholds":{"t":53.5},
          "ao_settings":{"s":{"pct_enabled":true,"pct_delta":5,"last_time":12}},
          "limits":{"l":{"high":250,"_note":"x"}},"_comment":1,
          "line_health":{"window_s":60,"failing":0.5,"_note":1}}],"_note":{}})",
      "c.json");
  const auto& d = c.devices;
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].data_id, 7u);
  EXPECT_EQ(d[0].address, 1);
  EXPECT_EQ(d[0].port, "sim");
  EXPECT_TRUE(d[0].settings.isObject());
  EXPECT_EQ(d[0].alarm_levels.at("a"), 2);
  EXPECT_EQ(d[0].thresholds.at("t"), 53.5f);
  const auto& ao = d[0].ao_settings.at("s");
  EXPECT_TRUE(ao.pct_enabled);
  EXPECT_EQ(ao.pct_delta, 5.0f);
  EXPECT_EQ(ao.last_time, 12u);
  EXPECT_FALSE(ao.abs_enabled);  // absent members are 0 or false
  EXPECT_EQ(ao.period_minutes, 0.0f);
  EXPECT_EQ(d[0].limits.at("l").high, 250.0f);
  EXPECT_EQ(d[0].limits.at("l").level, 1);
  EXPECT_EQ(d[0].answer_timeout_ms, 1000);
  EXPECT_EQ(d[0].line_health.window.count(), 60);
  EXPECT_EQ(d[0].line_health.failing, 0.5);
  EXPECT_EQ(d[0].line_health.degrading, 0.02);
  EXPECT_EQ(c.warnings.size(), 0u);  // notes ("_...") are skipped
  const auto def = klxhost::default_site_config().devices;
  ASSERT_EQ(def.size(), 1u);
  EXPECT_EQ(def[0].data_id, 1u);
  EXPECT_EQ(def[0].port, "sim");
  EXPECT_EQ(def[0].settings["appSetting"]["has_dc"].asInt(), 1);  // the simulator has a DC panel
}

// Options the plug-in would read as 0 or never read are named; the configuration still loads.
TEST(RunnerConfig, WarnsAboutDeviceOptionsThePluginMisreads) {
  const std::pair<const char*, const char*> rows[] = {
      {R"({"hasdc":1})", R"("hasdc": not a device option)"},
      {R"({"has_dc":"yes"})", R"("has_dc": not a number)"},
      {R"({"has_tower":true})", R"("has_tower": not a number)"},
      {R"({"ac_line":[2]})", R"("ac_line": not a number)"},
      {R"({"has_dc":1,"skip_41_41":"-2","b_mode":3})", nullptr},
  };
  for (const auto& [app, message] : rows) {
    const std::string text =
        std::string(R"({"devices":[{"data_id":1,"settings":{"appSetting":)") + app + "}}]}";
    const auto warnings = klxhost::parse_site_config(text, "c.json").warnings;
    if (!message) {
      EXPECT_TRUE(warnings.empty()) << app << ": " << warnings.front();
      continue;
    }
    ASSERT_EQ(warnings.size(), 1u) << app;
    EXPECT_NE(warnings[0].find(message), std::string::npos) << warnings[0];
  }
  const auto warnings =
      klxhost::parse_site_config(
          R"({"devices":[{"data_id":1,"settings":{"appSettings":{},"_note":1}}]})", "c.json")
          .warnings;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find(R"("appSettings": not read by the plug-in)"), std::string::npos);
}

TEST(RunnerConfig, RefusesWhatCannotBeUsed) {
  const std::pair<const char*, const char*> rows[] = {
      {R"({"devices":[{"data_id":1,"address":0}]})", R"("address" must be 1 to 254)"},
      {R"({"devices":[{"data_id":1,"address":255}]})", R"("address" must be 1 to 254)"},
      {R"({"devices":[{"data_id":-1}]})", R"("data_id" must be an unsigned integer)"},
      {R"({"devices":[{"data_id":1,"settings":[]}]})", R"("settings" must be an object)"},
      {R"({"devices":[{"data_id":1,"thresholds":{"t":"x"}}]})", R"("t" must be a number)"},
      {R"({"devices":[{"data_id":1,"thresholds":{"t":1e300}}]})", R"("t" is out of range)"},
      {R"({"devices":[{"data_id":1,"rs485":"yes"}]})", R"("rs485" must be true or false)"},
      {R"({"devices":[{"data_id":1,"answer_timeout_ms":0}]})", "must be 1 to 600000"},
      {R"({"devices":[{"data_id":1,"port":""}]})", R"("port" must be a port name)"},
      {R"({"devices":[{"data_id":1,"extra":1}]})",
       R"(device 0 (data_id 1): unknown key "extra" (known: data_id, address)"},
      {R"({"devices":[{"data_id":1,"limits":{"l":{"top":1}}}]})",
       R"("limits"."l": unknown key "top" (known: low, high, level))"},
      {R"({"devices":[{"data_id":1,"limits":{"l":{"low":5,"high":4}}}]})",
       R"("l" has "low" above "high")"},
      {R"({"devices":[{"data_id":1,"ao_settings":{"s":{"abs_enabled":1}}}]})",
       R"("abs_enabled" must be true or false)"},
      {R"({"devices":[{"data_id":1}]} trailing)", "not valid JSON"},
      {R"({"devices":[{"data_id":1,"data_id":2}]})", "not valid JSON"},
      {"[]", "\"devices\" must be a list"},
      {R"({"devices":[{"data_id":1}],"htttp":{}})",
       R"(c.json: unknown key "htttp" (known: devices)"},
      {R"({"devices":[{"data_id":1}],"http":{"port":1}})", R"("http": unknown key "port")"},
      {R"({"devices":[{"data_id":1}],"snmp":[]})", R"("snmp" must be an object)"},
      {R"({"devices":[{"data_id":1,"line_health":{"window_s":0}}]})", "must be 1 to 86400"},
      {R"({"devices":[{"data_id":1,"line_health":{"failing":1.5}}]})",
       "must be above 0 and below 1"},
      {R"({"devices":[{"data_id":1,"line_health":{"degrading":0.3}}]})",
       R"("degrading" is above "failing")"},
      {R"({"devices":[{"data_id":1,"line_health":{"window":60}}]})", R"(unknown key "window")"},
  };
  for (const auto& [text, message] : rows) {
    try {
      klxhost::parse_site_config(text, "c.json");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const klxhost::ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("c.json", 0), 0u) << e.what();
    }
  }
}

TEST(RunnerArgs, IoctlCodeAndInput) {
  klxhost::IoctlRequest r;
  std::string error;
  ASSERT_TRUE(klxhost::parse_ioctl("300:07EA0C1F173B3B", r, error));
  EXPECT_EQ(r.code, 300);
  EXPECT_EQ(r.input, (std::vector<uint8_t>{0x07, 0xEA, 0x0C, 0x1F, 0x17, 0x3B, 0x3B}));
  ASSERT_TRUE(klxhost::parse_ioctl("310:", r, error));
  EXPECT_TRUE(r.input.empty());
  ASSERT_TRUE(klxhost::parse_ioctl("-5:ff", r, error));
  EXPECT_EQ(r.code, -5);
  for (const char* bad : {"310", ":00", "x:00", "1:0", "1:zz", "99999999999:00", "1 :00"})
    EXPECT_FALSE(klxhost::parse_ioctl(bad, r, error)) << bad;
}

TEST(RoundSummary, EmptyRecordAndWrongSize) {
  const auto plant = [](const std::vector<uint8_t>& record, bool dc) {
    klx::DeviceLayout l;
    l.has_dc = dc;
    return klx::read_plant(record, l);
  };
  const std::vector<uint8_t> zero(587, 0);
  EXPECT_EQ(klxhost::round_summary(1, 2, plant(zero, false), 3),
            "klx-host: data_id 1 round 2: AC -; rectifiers 0 at 0 V 0 A; DC -; active alarms 3");
  EXPECT_EQ(klxhost::round_summary(1, 1, plant({}, true), 0),
            "klx-host: data_id 1 round 1: no record; active alarms 0");
  // A module count beyond the record's 40 modules is held to 40.
  std::vector<uint8_t> many(587, 0);
  many[89] = 200;
  EXPECT_NE(klxhost::round_summary(1, 1, plant(many, true), 0).find("rectifiers 40 at"),
            std::string::npos);
  // Six modules of 10.13 A add up to 60.78 A, as klx-history lists them, not to 60.780003; a
  // polled DC panel at 0 V is a collapsed bus, not an absent one.
  korvantis_419_Data_t rec{};
  rec.rc_channel_count = 6;
  for (int i = 0; i < 6; ++i) rec.rcChannel[i].current = 10.13f;
  const auto* p = reinterpret_cast<const uint8_t*>(&rec);
  EXPECT_NE(klxhost::round_summary(1, 1, plant(std::vector<uint8_t>(p, p + sizeof rec), true), 0)
                .find("rectifiers 6 at 0 V 60.78 A; DC 0 V 0 A;"),
            std::string::npos);
}

}  // namespace

#endif  // KLX_HAVE_RUNNER
