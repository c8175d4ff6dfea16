// Line faults: each kind seen through the host's own frame parser, and the rules' scheduling.
#include "sim/faults.h"

#include <gtest/gtest.h>

#include "sim/answers.h"
#include "sim_test_util.h"

namespace {

using simtest::ask;
using simtest::ManualClock;
using simtest::model_from;

sim::Model with_fault(const std::string& fault) {
  return model_from(R"({"rectifiers": {"voltage": 53.5, "modules": [{"current": 10}]},
                        "faults": [)" +
                    fault + "]}");
}

TEST(Faults, EachKindAsTheHostSeesIt) {
  const struct {
    const char* fault;
    size_t good_frames;
    uint64_t klx::FrameCounters::*counter;  // the parser counter that must move, if any
    size_t chunks;
  } rows[] = {
      {R"({"type": "no_answer"})", 0, nullptr, 0},
      {R"({"type": "bad_chksum"})", 0, &klx::FrameCounters::bad_chksum, 1},
      {R"({"type": "bad_lchksum"})", 0, &klx::FrameCounters::bad_lchksum, 1},
      {R"({"type": "garbage"})", 1, &klx::FrameCounters::noise_bytes, 1},
      {R"({"type": "garbage", "bytes": "7E3230"})", 1, &klx::FrameCounters::cut_off, 1},
      {R"({"type": "garbage_inside"})", 0, &klx::FrameCounters::bad_hex, 1},
      {R"({"type": "garbage_inside", "bytes": "3030"})", 0, &klx::FrameCounters::lenid_mismatch, 1},
      {R"({"type": "truncated"})", 0, nullptr, 1},
      {R"({"type": "wrong_address"})", 0, &klx::FrameCounters::wrong_address, 1},
      {R"({"type": "split", "chunks": 4, "pause_ms": 30})", 1, nullptr, 4},
      {R"({"type": "slow", "delay_ms": 2500})", 1, nullptr, 1},
  };
  for (const auto& row : rows) {
    ManualClock clock;
    sim::Simulator s(with_fault(row.fault), 1, clock.fn());
    const auto r = ask(s, 0x41, 0x41);
    EXPECT_EQ(r.frames.size(), row.good_frames) << row.fault << ": " << r.line;
    EXPECT_EQ(r.chunks.size(), row.chunks) << row.fault;
    if (row.counter) {
      EXPECT_GT(r.counters.*row.counter, 0u) << row.fault;
    }
    if (row.good_frames == 1) {
      EXPECT_EQ(r.frames[0].info, sim::info_41_41(s.model()));
    }
  }
}

TEST(Faults, TimingOfSlowAndSplitAnswers) {
  ManualClock clock;
  sim::Simulator s(with_fault(R"({"type": "slow", "delay_ms": 2500},
                                 {"type": "split", "chunks": 3, "pause_ms": 40})"),
                   1, clock.fn());
  const auto r = ask(s, 0x41, 0x41);
  ASSERT_EQ(r.chunks.size(), 3u);
  EXPECT_EQ(r.chunks[0].delay_ms, 2500u);
  EXPECT_EQ(r.chunks[1].delay_ms, 40u);
  EXPECT_EQ(r.chunks[2].delay_ms, 40u);
  EXPECT_EQ(r.frames.size(), 1u);
}

TEST(Faults, NonZeroRtnCarriesNoInfo) {
  ManualClock clock;
  sim::Simulator s(with_fault(R"({"type": "rtn", "rtn": "0xE2", "cid2": "0x41"})"), 1, clock.fn());
  const auto r = ask(s, 0x41, 0x41);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0].cid2, 0xE2);
  EXPECT_TRUE(r.frames[0].info.empty());
  EXPECT_EQ(ask(s, 0x41, 0x43).frames.at(0).cid2, 0);  // another command: not matched
}

TEST(Faults, ScheduledWindowAndCount) {
  ManualClock clock;
  sim::Simulator s(with_fault(R"({"type": "no_answer", "from": 10, "to": 20, "count": 2})"), 1,
                   clock.fn());
  std::string pattern;
  for (double t : {0, 9, 10, 11, 12, 13, 19, 20}) {
    clock.now = 1000 + t;
    pattern += ask(s, 0x41, 0x41).frames.empty() ? 'x' : '.';
  }
  EXPECT_EQ(pattern, "..xx....");
}

// A seeded chance gives the same faults for the same commands, and about the share asked for.
TEST(Faults, SeededProbability) {
  auto run = [](uint32_t seed) {
    ManualClock clock;
    sim::Model m = with_fault(R"({"type": "no_answer", "probability": 0.25})");
    m.seed = seed;
    sim::Simulator s(m, 1, clock.fn());
    std::string pattern;
    for (int i = 0; i < 400; ++i) pattern += ask(s, 0x41, 0x41).frames.empty() ? 'x' : '.';
    return pattern;
  };
  const std::string a = run(11), b = run(11), c = run(12);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  const auto silent = std::count(a.begin(), a.end(), 'x');
  EXPECT_GT(silent, 60);
  EXPECT_LT(silent, 140);
}

TEST(FrameDamage, BadLchksumKeepsChksumRight) {
  const std::string good = "~20014041E00201FD3C\r";
  const std::string bad = sim::with_bad_lchksum(good);
  EXPECT_EQ(bad, "~20014041F00201FD3B\r");
  EXPECT_EQ(sim::with_bad_chksum(good), "~20014041E00201FD3D\r");
}

TEST(FrameDamage, SplitCoversEveryByteOnce) {
  const std::string line = "~200141410000FDB3\r";
  for (int n : {1, 2, 5, 18, 40}) {
    std::string joined;
    const auto chunks = sim::split_chunks(line, n, 10);
    for (const auto& c : chunks) joined.append(c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(joined, line) << n;
    EXPECT_EQ(chunks.size(), static_cast<size_t>(std::min<int>(n, 18)));
  }
}

}  // namespace
