// DC answers in the polling round: the panel layout decided from the first analog answer, the
// second panel, and answers too short for the bytes the dispatcher reads itself.
#include <gtest/gtest.h>

#include "acq_test_util.h"

namespace {
using namespace acq;

const char* kPanel1 = "00005642 00004841 00 00 00";  // 53.5 V, 12.5 A
const char* kPanel2 = "00004042 00002041 00 00 00";  // 48.0 V, 10.0 A

// A device awaiting the DC analog answer of a round in which nothing more is asked.
void await_dc(TestDevice& dev, int state = PMBUSPOWER_42_41) {
  dev.has_dc_ = true;
  dev.b_mode_ = 3;
  dev.data_valid_ = 1;
  dev.cmd_state_ = state;
}

TEST(DcLayout, DecidedFromTheBytesAfterTheFlag) {
  struct Row {
    std::string after_flag;
    int layout;
    std::string value_line;
  } rows[] = {
      {"00005442 00004841 00 00 00", 1, "test dc_v:53\n"},
      {"00002042 00004841 00 00 00", 2, "test dc_v:40\n"},
      {"00007042 00004841 00 00 00", 2, "test dc_v:60\n"},
      {"02 000054 42", 2, ""},
      {"01 00005642 00004841 00 00 00", 2, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.after_flag);
    TestDevice dev;
    await_dc(dev);
    StdoutCapture cap;
    dev.answer(H("00" + row.after_flag), 0x42);
    EXPECT_EQ(dev.no_dc_number_, row.layout);
    const std::string out = cap.take();
    if (!row.value_line.empty()) {
      EXPECT_NE(out.find(row.value_line), std::string::npos) << out;
    }
    EXPECT_NE(out.find("no dc number is " + std::to_string(row.layout) + "\n"), std::string::npos);
  }
}

TEST(DcLayout, KeptOnceDecided) {
  TestDevice dev;
  await_dc(dev);
  StdoutCapture quiet;
  dev.answer(H(std::string("00") + "00005442 00004841 00 00 00"), 0x42);
  ASSERT_EQ(dev.no_dc_number_, 1);
  await_dc(dev);
  dev.answer(H(std::string("00 02") + kPanel1 + kPanel2), 0x42);
  EXPECT_EQ(dev.no_dc_number_, 1);
}

TEST(DcPanels, SecondPanelOnlyWithCountTwo) {
  for (int count : {1, 2, 3}) {
    TestDevice dev;
    await_dc(dev);
    dev.no_dc_number_ = 2;
    StdoutCapture cap;
    dev.answer(H("00 0" + std::to_string(count) + kPanel1 + kPanel2), 0x42);
    EXPECT_EQ(at(dev, 534), "00005642");
    EXPECT_EQ(at(dev, 566), count >= 2 ? "00004042" : "00000000") << count;
    EXPECT_EQ(dev.dc_number_, static_cast<uint32_t>(count));
    EXPECT_EQ(cap.take().rfind("pmbuspower_419 PMBUSPOWER_42_41 dc_number:" +
                                   std::to_string(count) + "\nno dc number is 2\n",
                               0),
              0u);
  }
}

TEST(DcPanels, AlarmAnswerWithTwoPanels) {
  TestDevice dev;
  await_dc(dev, PMBUSPOWER_42_44);
  dev.no_dc_number_ = 2;
  StdoutCapture cap;
  EXPECT_EQ(dev.answer(H("00 02 05 00 00 06 01 aa 00"), 0x42), 0);
  EXPECT_EQ(at(dev, 545, 3), "050000");
  EXPECT_EQ(at(dev, 577, 3), "060100");
  EXPECT_EQ(cap.take().rfind("pmbuspower_419 PMBUSPOWER_42_44 dc_number:2\n", 0), 0u);

  // Without a panel-count byte only the first panel is read.
  TestDevice one;
  await_dc(one, PMBUSPOWER_42_44);
  one.no_dc_number_ = 1;
  StdoutCapture quiet;
  one.answer(H("00 07 00 00 08 00 00"), 0x42);
  EXPECT_EQ(at(one, 545, 1), "07");
  EXPECT_EQ(at(one, 577, 1), "00");
}

// Without a panel-count byte the byte kept as the count is the bus voltage's low byte (0x33 of
// 53.3 V): there is still one panel, and neither mode states anything of a second one, even with
// a second panel's fuse count left in the record. The diagnostic line keeps the byte.
TEST(DcPanels, OnePanelWithoutCountByteWhateverItsVoltage) {
  for (int mode : {1, 2}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    TestDevice dev;
    await_dc(dev);
    dev.has_ac_ = false;
    dev.b_mode_ = mode;
    dev.data_.dc_2.alert_m_count = 2;
    dev.alarm_levels_["120600470190"] = 1;
    StdoutCapture cap;
    dev.answer(H("00 33335542 00004841 00 00 00"), 0x42);
    ASSERT_EQ(dev.no_dc_number_, 1);
    EXPECT_NE(cap.take().find("PMBUSPOWER_42_41 dc_number:51\n"), std::string::npos);
    std::vector<std::string> checks, rules;
    for (const auto& c : dev.rec.checks) checks.push_back(c.id);
    ASSERT_FALSE(dev.rec.batches.empty());
    for (const auto& r : dev.rec.batches.back()) rules.push_back(r.key);
    if (mode == 1) {
      EXPECT_EQ(checks, (std::vector<std::string>{"419620401001", "419620301001"}));
    } else {
      EXPECT_EQ(rules, std::vector<std::string>{}) << "the first panel counts no fuse";
    }
  }
}

TEST(DcPanels, NoSecondPanelBehindABrokenFirst) {
  TestDevice dev;
  await_dc(dev);
  dev.no_dc_number_ = 2;
  StdoutCapture quiet;
  dev.answer(H("00 02 00005642 0000"), 0x42);  // first block cut inside the current
  EXPECT_EQ(at(dev, 562, 25), std::string(50, '0'));
}

// Answers too short for the bytes the dispatcher reads itself: nothing is read beyond the info,
// a missing flag byte asks for nothing, and the round goes on.
TEST(ShortAnswers, EmptyInfoInEveryState) {
  struct Row {
    int state;
    bool valid;
    int next;
  } rows[] = {
      {PMBUSPOWER_40_41, true, PMBUSPOWER_40_41},  {PMBUSPOWER_40_43, true, PMBUSPOWER_41_41},
      {PMBUSPOWER_40_43, false, PMBUSPOWER_40_44}, {PMBUSPOWER_40_44, true, PMBUSPOWER_41_41},
      {PMBUSPOWER_41_41, true, PMBUSPOWER_41_43},  {PMBUSPOWER_41_43, true, PMBUSPOWER_42_41},
      {PMBUSPOWER_41_43, false, PMBUSPOWER_41_44}, {PMBUSPOWER_41_44, true, PMBUSPOWER_42_41},
      {PMBUSPOWER_42_41, true, PMBUSPOWER_IDLE},   {PMBUSPOWER_42_41, false, PMBUSPOWER_42_44},
      {PMBUSPOWER_42_44, true, PMBUSPOWER_IDLE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.state) + (row.valid ? " valid" : " not valid"));
    TestDevice dev;
    await_dc(dev, row.state);
    if (!row.valid) dev.data_valid_ = 0;
    if (row.state == PMBUSPOWER_41_41) dev.rc_data_flag_ = 0x01;
    dev.dc_number_ = 9;
    const auto before = dev.record();
    StdoutCapture quiet;
    dev.answer({}, 0x40);
    EXPECT_EQ(dev.cmd_state_, row.next);
    EXPECT_EQ(dev.no_dc_number_, -1);
    EXPECT_EQ(dev.dc_number_, 9u);
    if (row.state == PMBUSPOWER_41_41) {
      EXPECT_EQ(dev.rc_data_flag_, 0);
    }
    if (row.next != PMBUSPOWER_IDLE) {
      EXPECT_EQ(dev.record(), before);
    }
  }
}

TEST(ShortAnswers, LayoutWaitsForFourVoltageBytes) {
  TestDevice dev;
  await_dc(dev);
  StdoutCapture quiet;
  dev.answer(H("00 00 00 54"), 0x42);
  EXPECT_EQ(dev.no_dc_number_, -1);
  await_dc(dev);
  dev.answer(H("00 00 00 54 42"), 0x42);
  EXPECT_EQ(dev.no_dc_number_, 1);
}

// Every prefix of a full answer in every state, each in a buffer of exactly its size.
TEST(ShortAnswers, EveryPrefixInEveryState) {
  const std::pair<int, std::string> answers[] = {
      {PMBUSPOWER_40_41, "00 01 00005c43 00005c43 00005c43 00004842 00 00002041 00002041 00002041"},
      {PMBUSPOWER_40_43, "01 02 0a0b 00"},
      {PMBUSPOWER_40_44, "00 02 01020304 00 00 05060708 00 00 090a0b"},
      {PMBUSPOWER_41_41, "01 00005842 01 00002041 00"},
      {PMBUSPOWER_41_43, "00 01 010203 00"},
      {PMBUSPOWER_41_44, "00 01 07 00"},
      {PMBUSPOWER_42_41, "11 02" + std::string(kPanel1) + kPanel2},
      {PMBUSPOWER_42_44, "00 02 05 00 00 06 00 00"},
  };
  for (const auto& [state, text] : answers) {
    const std::vector<uint8_t> whole = H(text);
    for (size_t n = 0; n <= whole.size(); ++n) {
      SCOPED_TRACE(std::to_string(state) + " prefix " + std::to_string(n));
      TestDevice dev;
      await_dc(dev, state);
      dev.data_.rc_channel_count = 1;
      StdoutCapture quiet;
      dev.answer(std::vector<uint8_t>(whole.begin(), whole.begin() + n), 0x40);
      // Only a short AC analog answer holds the round; every other answer moves it on.
      if (state == PMBUSPOWER_40_41 && n < whole.size()) {
        EXPECT_EQ(dev.cmd_state_, state);
      } else {
        EXPECT_NE(dev.cmd_state_, state);
      }
    }
  }
}

}  // namespace
