// End of a round and the communication-state alarm: publication, batches in order, history,
// the cache restore, the 120-second boundary on the controllable clock.
#include <gtest/gtest.h>

#include "acq_test_util.h"
#include "device/clock.h"
#include "klx/ttime.h"
#include "support/fake_clock.h"

namespace {
using namespace acq;

const char* kComm = "120600180010";

// The host calls that end a round, in order, without the commands.
std::vector<std::string> round_log(const Recorder& rec) {
  std::vector<std::string> out;
  for (const std::string& line : rec.log)
    if (line.rfind("cmd", 0) != 0) out.push_back(line);
  return out;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(RoundEnd, RoundEndedByAnswerRunsResetTwice) {
  test_clock::Frozen clock;
  TestDevice dev(31);
  dev.b_mode_ = 3;
  dev.alarm_levels_[kComm] = 2;
  dev.data_valid_ = 1;
  StdoutCapture cap;
  ASSERT_EQ(dev.RefreshStatus(), 1);
  dev.answer(H("00 00 00002041 00002041 00002041"));
  dev.answer(H("00 00005842 00"));
  EXPECT_EQ(dev.answer(H("00 00")), 0);

  EXPECT_EQ(round_log(dev.rec), (std::vector<std::string>{"publish 5535 587", "batch 1", "batch 0",
                                                          "history 587", "batch 1"}));
  const rule_value& comm = dev.rec.batches[0][0];
  EXPECT_EQ(comm.level, 2);
  EXPECT_EQ(comm.key, kComm);
  EXPECT_EQ(comm.alarm_id, kComm);
  EXPECT_EQ(comm.text1, "设备智能口通信状态告警");
  EXPECT_EQ(comm.text2, "通信异常");
  EXPECT_EQ(comm.value, 0.0);
  EXPECT_EQ(comm.count, 1);

  const std::string out = cap.take();
  EXPECT_EQ(
      count_of(out, "pmbuspower_419 data_id:31 reset called\ndata_id:31 reset from rounddone\n"),
      2u);
  EXPECT_NE(out.find("rvSize is 0\n"), std::string::npos);
  EXPECT_EQ(dev.round_flag_, 1);
  EXPECT_TRUE(dev.batch_result_);
  EXPECT_TRUE(dev.rules_.empty());
}

TEST(RoundEnd, StampsPublishesAndKeepsHistory) {
  test_clock::Frozen clock(1700000000);
  TestDevice dev;
  dev.b_mode_ = 3;
  dev.rec.batch_result = false;
  StdoutCapture quiet;
  dev.RoundDone();

  const ttime_t stamp = get_ttime(device_clock::local_now());
  EXPECT_EQ(at(dev, 555, 7), hex::encode(std::vector<uint8_t>(stamp.begin(), stamp.end())));
  ASSERT_EQ(dev.rec.published.size(), 1u);
  EXPECT_EQ(dev.rec.published[0], dev.record());
  EXPECT_EQ(dev.rec.history[0], dev.record());
  EXPECT_EQ(dev.data_valid_, 1);
  EXPECT_EQ(dev.last_round_time_, device_clock::local_now());
  EXPECT_FALSE(dev.batch_result_);
  EXPECT_EQ(dev.rec.batches.size(), 1u);  // handed over even when empty
}

TEST(RoundEnd, LoadFromCacheTakesOnlyAWholeRecord) {
  test_clock::Frozen clock;
  TestDevice dev;
  dev.b_mode_ = 3;
  dev.alarm_levels_[kComm] = 1;
  std::vector<uint8_t> blob(587);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
  const auto before = dev.record();
  StdoutCapture cap;
  EXPECT_FALSE(dev.LoadFromCache(blob.data(), 586));
  EXPECT_FALSE(dev.LoadFromCache(std::string(588, 'x')));
  EXPECT_EQ(dev.record(), before);
  EXPECT_TRUE(dev.rec.log.empty());

  EXPECT_TRUE(dev.LoadFromCache(blob.data(), 587));
  auto rec = dev.record();
  std::copy(blob.begin() + 555, blob.begin() + 562, rec.begin() + 555);
  EXPECT_EQ(rec, blob);  // every byte but the fresh time stamp
  EXPECT_EQ(round_log(dev.rec),
            (std::vector<std::string>{"publish 5535 587", "batch 1", "batch 0", "history 587"}));
  EXPECT_EQ(count_of(cap.take(), " reset called\n"), 1u);
}

TEST(CommAlarm, RaisedAfter120SecondsWithoutARound) {
  struct Row {
    long elapsed;
    bool active;
    const char* line;
  } rows[] = {{119, false, " reset from rounddone\n"},
              {120, true, " reset from refreshstatus\n"},
              {-600, false, " reset from rounddone\n"}};  // clock set back: a fresh round
  for (const Row& row : rows) {
    SCOPED_TRACE(row.elapsed);
    test_clock::Frozen clock;
    TestDevice dev(5);
    dev.alarm_levels_[kComm] = 3;
    dev.last_round_time_ = device_clock::local_now();
    test_clock::advance(row.elapsed);
    StdoutCapture cap;
    EXPECT_EQ(dev.Reset(), 1);
    EXPECT_EQ(cap.take(),
              std::string("pmbuspower_419 data_id:5 reset called\ndata_id:5") + row.line);
    ASSERT_EQ(dev.rec.batches.size(), 1u);
    ASSERT_EQ(dev.rec.batches[0].size(), 1u);
    EXPECT_EQ(dev.rec.batches[0][0].value, row.active ? 1.0 : 0.0);
    EXPECT_TRUE(dev.rules_.empty());
  }
}

TEST(CommAlarm, NoLevelNoRule) {
  test_clock::Frozen clock;
  TestDevice dev(5);
  dev.cmd_state_ = PMBUSPOWER_41_43;
  test_clock::advance(1000);
  StdoutCapture cap;
  EXPECT_EQ(dev.Reset(), 1);
  EXPECT_EQ(cap.take(), "pmbuspower_419 data_id:5 reset called\n");
  EXPECT_TRUE(dev.rec.batches.empty());
  ASSERT_EQ(dev.alarm_levels_.count(kComm), 1u);
  EXPECT_EQ(dev.alarm_levels_[kComm], 0);
  EXPECT_EQ(dev.cmd_state_, PMBUSPOWER_41_43);  // poll state is left alone
}

}  // namespace
