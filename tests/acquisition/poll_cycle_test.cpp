// Polling rounds driven through RefreshStatus and process_payload, with answers laid into
// rx_buf_ as the host lays them.
#include <gtest/gtest.h>

#include <map>

#include "acq_test_util.h"
#include "device/clock.h"
#include "support/fake_clock.h"

namespace {
using namespace acq;
using Cmds = std::vector<Recorder::Command>;

// A well-formed answer (info bytes, data-flag byte first) for the state awaiting it. The DC
// answers carry a panel-count byte of 1; a fresh device takes that layout (count 1 is no
// plausible bus voltage).
std::vector<uint8_t> answer_for(int state, uint8_t flag) {
  static const std::map<int, std::string> body = {
      {PMBUSPOWER_40_41, "00 00002041 00002041 00002041"},
      {PMBUSPOWER_40_43, "00 00"},
      {PMBUSPOWER_40_44, "00 00000000 00 00 00000000 00 00 000000"},
      {PMBUSPOWER_41_41, "00005842 00"},
      {PMBUSPOWER_41_43, "00"},
      {PMBUSPOWER_41_44, "00"},
      {PMBUSPOWER_42_41, "01 00005642 00004841 00 00 00"},
      {PMBUSPOWER_42_44, "01 00 00 00"},
  };
  std::vector<uint8_t> info{flag};
  const auto rest = H(body.at(state));
  info.insert(info.end(), rest.begin(), rest.end());
  return info;
}

// Starts a round and answers every command until the round ends; returns the commands sent.
Cmds run_round(TestDevice& dev, const std::map<int, uint8_t>& flags = {}) {
  StdoutCapture quiet;
  dev.rec.commands.clear();
  if (dev.RefreshStatus() != 1) return {};
  for (int guard = 0; guard < 10 && dev.cmd_state_ != PMBUSPOWER_IDLE; ++guard) {
    const auto f = flags.find(dev.cmd_state_);
    dev.answer(answer_for(dev.cmd_state_, f == flags.end() ? 0 : f->second));
  }
  return dev.rec.commands;
}

struct RoundRow {
  const char* name;
  const char* settings;
  bool valid;
  std::map<int, uint8_t> flags;
  Cmds expected;
};

TEST(PollCycle, CommandSequences) {
  const auto ac = [](uint8_t cid2) { return Cmd(0x40, cid2, {0x01}); };
  const RoundRow rows[] = {
      {"first round, AC and DC",
       R"({"appSetting":{"has_dc":1}})",
       false,
       {},
       {ac(0x41), ac(0x43), ac(0x44), Cmd(0x41, 0x41), Cmd(0x41, 0x43), Cmd(0x41, 0x44),
        Cmd(0x42, 0x41, {0xFF}), Cmd(0x42, 0x44, {0xFF})}},
      {"later round, zero flags",
       R"({"appSetting":{"has_dc":1}})",
       true,
       {},
       {ac(0x41), Cmd(0x41, 0x41), Cmd(0x41, 0x43), Cmd(0x42, 0x41, {0xFF})}},
      {"defaults", "{}", true, {}, {ac(0x41), Cmd(0x41, 0x41), Cmd(0x41, 0x43)}},
      {"defaults, rectifier alarms",
       "{}",
       true,
       {{PMBUSPOWER_41_41, 0x01}},
       {ac(0x41), Cmd(0x41, 0x41), Cmd(0x41, 0x43), Cmd(0x41, 0x44)}},
      {"no AC",
       R"({"appSetting":{"has_ac":"0"}})",
       false,
       {},
       {Cmd(0x41, 0x41), Cmd(0x41, 0x43), Cmd(0x41, 0x44)}},
      {"no_40_arg",
       R"({"appSetting":{"no_40_arg":1}})",
       false,
       {},
       {Cmd(0x40, 0x41), ac(0x43), ac(0x44), Cmd(0x41, 0x41), Cmd(0x41, 0x43), Cmd(0x41, 0x44)}},
      {"no_42_arg",
       R"({"appSetting":{"has_dc":1,"no_42_arg":1}})",
       true,
       {{PMBUSPOWER_42_41, 0x01}},
       {ac(0x41), Cmd(0x41, 0x41), Cmd(0x41, 0x43), Cmd(0x42, 0x41), Cmd(0x42, 0x44)}},
      {"AC switches changed",
       "{}",
       true,
       {{PMBUSPOWER_40_41, 0x10}},
       {ac(0x41), ac(0x43), Cmd(0x41, 0x41), Cmd(0x41, 0x43)}},
      {"AC alarms changed",
       "{}",
       true,
       {{PMBUSPOWER_40_41, 0x01}},
       {ac(0x41), ac(0x44), Cmd(0x41, 0x41), Cmd(0x41, 0x43)}},
      {"AC alarms asked by the switch answer",
       "{}",
       true,
       {{PMBUSPOWER_40_41, 0x10}, {PMBUSPOWER_40_43, 0x01}},
       {ac(0x41), ac(0x43), ac(0x44), Cmd(0x41, 0x41), Cmd(0x41, 0x43)}},
      {"DC switch bit asks for DC alarms",
       R"({"appSetting":{"has_dc":1}})",
       true,
       {{PMBUSPOWER_42_41, 0x10}},
       {ac(0x41), Cmd(0x41, 0x41), Cmd(0x41, 0x43), Cmd(0x42, 0x41, {0xFF}),
        Cmd(0x42, 0x44, {0xFF})}},
  };
  for (const RoundRow& row : rows) {
    SCOPED_TRACE(row.name);
    test_clock::Frozen clock;
    TestDevice dev;
    dev.configure(row.settings);
    dev.b_mode_ = 3;
    if (row.valid) dev.data_valid_ = 1;
    EXPECT_EQ(run_round(dev, row.flags), row.expected);
    EXPECT_EQ(dev.cmd_state_, PMBUSPOWER_IDLE);
    EXPECT_EQ(dev.rec.published.size(), 1u);
  }
}

TEST(PollCycle, RoundsAreSpacedByTwoSeconds) {
  test_clock::Frozen clock;
  TestDevice dev;
  dev.b_mode_ = 3;
  ASSERT_FALSE(run_round(dev).empty());
  StdoutCapture quiet;
  dev.rec.commands.clear();

  test_clock::advance(1);
  EXPECT_EQ(dev.RefreshStatus(), 0);
  EXPECT_EQ(dev.request_code_, 10);
  EXPECT_TRUE(dev.rec.commands.empty());

  test_clock::advance(1);
  EXPECT_EQ(dev.RefreshStatus(), 1);
  EXPECT_EQ(dev.rec.commands, Cmds{Cmd(0x40, 0x41, {0x01})});

  // A clock set back behind the last round does not stop polling.
  dev.last_round_time_ = device_clock::local_now();
  test_clock::advance(-3600);
  EXPECT_EQ(dev.RefreshStatus(), 1);
}

TEST(PollCycle, MalformedAcAnswerIsDroppedAndTheRoundRestarts) {
  test_clock::Frozen clock;
  TestDevice dev;
  StdoutCapture quiet;
  ASSERT_EQ(dev.RefreshStatus(), 1);
  EXPECT_EQ(dev.answer(H("00 01 00005c43")), 1);  // one line announced, 4 bytes of it sent
  EXPECT_EQ(dev.cmd_state_, PMBUSPOWER_40_41);
  EXPECT_EQ(dev.rec.commands.size(), 1u);
  EXPECT_EQ(dev.RefreshStatus(), 1);
  EXPECT_EQ(dev.rec.commands.size(), 2u);
}

TEST(PollCycle, InfoLengthComesFromLenid) {
  TestDevice dev;
  dev.cmd_state_ = PMBUSPOWER_41_41;
  // LENID 0x001F: 15 info bytes. A module with one extra value fills them exactly.
  std::vector<uint8_t> rx = H("20 01 41 00 1f 00  00 00005842 01 00002041 01 ffffffff");
  dev.rx.swap(rx);
  dev.rx_buf_ = dev.rx.data();
  StdoutCapture cap;
  EXPECT_EQ(dev.process_payload(), 1);
  EXPECT_EQ(cap.take(), "parse 41_41 channel is 1\n41_43 15 vs 15\n");
}

TEST(PollCycle, AnswerWhileIdleMarksTheControlCommand) {
  for (int state : {int(PMBUSPOWER_IDLE), 103, 200}) {
    TestDevice dev;
    dev.cmd_state_ = state;
    const auto before = dev.record();
    EXPECT_EQ(dev.answer(answer_for(PMBUSPOWER_40_41, 0x11)), 0);
    EXPECT_EQ(dev.ctrl_result_, 1);
    EXPECT_EQ(dev.cmd_state_, state);
    EXPECT_EQ(dev.record(), before);
    EXPECT_TRUE(dev.rec.commands.empty());
  }
}

}  // namespace
