// The simulator on the line: command frames in, answer frames out, control commands followed by
// the model, and whole polling rounds of the plug-in against it.
#include <gtest/gtest.h>

#include "sim/answers.h"
#include "sim_test_util.h"
#include "support/fake_clock.h"
#include "support/hex.h"

namespace {

using simtest::ask;
using simtest::command;
using simtest::ManualClock;
using simtest::model_from;

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

TEST(SimulatorLine, AnswersEveryPollCommandWithRtn0) {
  ManualClock clock;
  sim::Simulator s(sim::default_model(), 1, clock.fn());
  const struct {
    uint8_t cid1, cid2;
    std::vector<uint8_t> data;
  } polls[] = {{0x40, 0x41, {0x01}}, {0x40, 0x43, {0x01}}, {0x40, 0x44, {0x01}},
               {0x41, 0x41, {}},     {0x41, 0x43, {}},     {0x41, 0x44, {}},
               {0x42, 0x41, {0xFF}}, {0x42, 0x44, {0xFF}}};
  for (const auto& p : polls) {
    const auto r = ask(s, p.cid1, p.cid2, p.data);
    ASSERT_EQ(r.frames.size(), 1u) << r.line;
    EXPECT_EQ(r.frames[0].cid1, p.cid1);
    EXPECT_EQ(r.frames[0].cid2, 0);
    EXPECT_EQ(r.frames[0].adr, 1);
    EXPECT_FALSE(r.frames[0].info.empty());
  }
}

TEST(SimulatorLine, ReturnCodesOfRefusedCommands) {
  ManualClock clock;
  sim::Model no_dc = sim::default_model();
  no_dc.dc.present = false;
  sim::Model quirky = sim::default_model();
  quirky.quirks.no_40_arg = true;
  quirky.quirks.no_42_arg = true;
  const struct {
    const char* what;
    const sim::Model& model;
    std::vector<uint8_t> frame;
    int rtn;
  } rows[] = {
      {"unknown command", sim::default_model(), command(0x41, 0x99), 0x04},
      {"unknown group", sim::default_model(), command(0x46, 0x42), 0x04},
      {"no DC unit fitted", no_dc, command(0x42, 0x41, {0xFF}), 0x04},
      {"other protocol version", sim::default_model(), command(0x40, 0x41, {1}, 1, 0x21), 0x01},
      {"AC analog without its data byte", sim::default_model(), command(0x40, 0x41), 0x05},
      {"AC analog with a data byte it does not take", quirky, command(0x40, 0x41, {1}), 0x05},
      {"DC analog with a data byte it does not take", quirky, command(0x42, 0x41, {0xFF}), 0x05},
      {"DC alarms without their data byte", sim::default_model(), command(0x42, 0x44), 0x05},
      {"bad CHKSUM", sim::default_model(), bytes_of("~200141410000FDB4\r"), 0x02},
      {"bad LCHKSUM", sim::default_model(), bytes_of("~20014041F00201FD3B\r"), 0x03},
      {"clock with 6 bytes", sim::default_model(), command(0x41, 0x4E, {7, 0xE8, 1, 2, 3, 4}),
       0x05},
      {"clock in month 13", sim::default_model(), command(0x41, 0x4E, {7, 0xE8, 13, 2, 3, 4, 5}),
       0x06},
      {"remote control of module 9 of 6", sim::default_model(), command(0x41, 0x45, {0xE6, 9}),
       0x06},
      {"remote control of an unknown kind", sim::default_model(), command(0x41, 0x45, {0x77, 1}),
       0x06},
  };
  for (const auto& row : rows) {
    sim::Simulator s(row.model, 1, clock.fn());
    const auto r = ask(s, row.frame);
    ASSERT_EQ(r.frames.size(), 1u) << row.what << ": " << r.line;
    EXPECT_EQ(r.frames[0].cid2, row.rtn) << row.what;
    EXPECT_TRUE(r.frames[0].info.empty()) << row.what;
  }
}

TEST(SimulatorLine, SilentToOtherAddressesAndUnreadableFrames) {
  ManualClock clock;
  sim::Simulator s(sim::default_model(), 5, clock.fn());
  EXPECT_TRUE(s.respond(command(0x41, 0x41, {}, 1)).empty());
  EXPECT_TRUE(s.respond(bytes_of("~2005414100")).empty());             // never ends
  EXPECT_TRUE(s.respond(bytes_of("~20G541410000FDB3\r")).empty());     // ADR unreadable
  EXPECT_EQ(ask(s, command(0x41, 0x41, {}, 5), 5).frames.size(), 1u);  // its own address
}

TEST(SimulatorLine, ControlCommandsChangeTheModel) {
  ManualClock clock;
  sim::Simulator s(sim::default_model(), 1, clock.fn());
  // The worked frame of the DC parameter 0xDC = 53.5.
  EXPECT_EQ(ask(s, bytes_of("~20014248600ADC00005642FB7C\r")).frames.at(0).cid2, 0);
  EXPECT_EQ(s.model().parameters.at(0xDC), 53.5f);
  EXPECT_EQ(ask(s, 0x42, 0x49, {0x85, 0x14, 0xE6}).frames.at(0).cid2, 0);
  EXPECT_EQ(s.model().parameters.at(0x85), 53.5f);
  EXPECT_EQ(ask(s, 0x41, 0x4E, {0x07, 0xE8, 3, 14, 15, 9, 26}).frames.at(0).cid2, 0);
  EXPECT_TRUE(s.model().clock_set);
  EXPECT_EQ(s.model().clock[3], 14);

  EXPECT_EQ(ask(s, 0x41, 0x45, {0xE6, 3}).frames.at(0).cid2, 0);  // module 3 off
  EXPECT_EQ(s.model().rectifiers.modules[2].status[0], 1);
  EXPECT_EQ(sim::module_current(s.model(), s.model().rectifiers.modules[2]).value, 0.0f);
  EXPECT_EQ(ask(s, 0x41, 0x45, {0x10, 0x02}).frames.at(0).cid2, 0);  // equalize charge
  EXPECT_EQ(s.model().rectifiers.modules[0].status[2], 1);
  EXPECT_EQ(ask(s, 0x41, 0x45, {0xE5, 3}).frames.at(0).cid2, 0);  // module 3 on again
  EXPECT_EQ(sim::module_current(s.model(), s.model().rectifiers.modules[2]).value, 10.4f);
}

// The whole plug-in against the simulator, port-less: the first round reads every section, a
// quiet one only the analog values and the module states.
TEST(SimulatorRound, PluginRoundsAgainstTheDefaultModel) {
  test_clock::Frozen frozen;
  ManualClock clock;
  sim::Simulator s(sim::default_model(), 1, clock.fn());
  TestDevice dev;
  dev.configure(R"({"appSetting": {"has_dc": 1}})");
  EXPECT_EQ(simtest::run_round(dev, s),
            (std::vector<std::string>{"40 41 01", "40 43 01", "40 44 01", "41 41", "41 43", "41 44",
                                      "42 41 ff", "42 44 ff"}));
  ASSERT_EQ(dev.rec.published.size(), 1u);
  EXPECT_EQ(dev.data_.ac.channel_count, 2);
  EXPECT_EQ(dev.data_.acChannel[1].b.get(), 230.6f);
  EXPECT_EQ(dev.data_.rc_channel_count, 6);
  EXPECT_EQ(dev.data_.dc.voltage.get(), 53.5f);
  test_clock::advance(5);
  EXPECT_EQ(simtest::run_round(dev, s),
            (std::vector<std::string>{"40 41 01", "41 41", "41 43", "42 41 ff"}));
}

// A mains failure on the time line shows in the next round: the line reads 0 V, the AC answer's
// data-flag byte asks for the alarms, and they are read; when the line returns, the change is
// flagged once more and then the round is quiet again.
TEST(SimulatorRound, ScheduledMainsFailure) {
  test_clock::Frozen frozen;
  ManualClock clock;
  sim::Simulator s(model_from(R"({
      "ac": {"lines": [{"a": 230, "b": 230, "c": 230, "f": 50}]},
      "rectifiers": {"voltage": 53.5, "modules": [{"current": 10}]},
      "events": [{"at": 30, "type": "mains_failure", "line": 1, "duration": 60}]})"),
                   1, clock.fn());
  TestDevice dev;
  dev.configure("{}");
  simtest::run_round(dev, s);
  test_clock::advance(5);
  EXPECT_EQ(simtest::run_round(dev, s), (std::vector<std::string>{"40 41 01", "41 41", "41 43"}));

  clock.now += 31;
  test_clock::advance(5);
  EXPECT_EQ(simtest::run_round(dev, s),
            (std::vector<std::string>{"40 41 01", "40 44 01", "41 41", "41 43"}));
  EXPECT_EQ(dev.data_.acChannel[0].a.get(), 0.0f);
  EXPECT_EQ(dev.data_.acChannel[0].a_alarm, 1);
  EXPECT_EQ(dev.data_.rcChannel[0].current.get(), 0.0f);  // no mains: the module delivers nothing

  clock.now += 60;
  test_clock::advance(5);
  EXPECT_EQ(simtest::run_round(dev, s),
            (std::vector<std::string>{"40 41 01", "40 44 01", "41 41", "41 43"}));
  EXPECT_EQ(dev.data_.acChannel[0].a.get(), 230.0f);
  EXPECT_EQ(dev.data_.acChannel[0].a_alarm, 0);
  test_clock::advance(5);
  EXPECT_EQ(simtest::run_round(dev, s), (std::vector<std::string>{"40 41 01", "41 41", "41 43"}));
}

TEST(SimulatorFactory, BuiltInModelAndModelFiles) {
  EXPECT_NE(sim::make_simulator("", 1), nullptr);
  EXPECT_NE(sim::make_simulator(KLX_SOURCE_DIR "/sim/models/example.json", 1), nullptr);
  try {
    sim::make_simulator("/nonexistent/model.json", 1);
    FAIL() << "a missing model file was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "cannot read model file /nonexistent/model.json: No such file or directory");
  }
}

}  // namespace
