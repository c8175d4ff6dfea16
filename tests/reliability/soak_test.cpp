// A short soak: 2,000 rounds in process with the model's events and faults coming round again
// (klx-soak runs the long one). Nothing grows between round 1,000 and round 2,000.
#include "soak.h"

#include <gtest/gtest.h>

namespace {

class Soak : public ::testing::TestWithParam<int> {};

TEST_P(Soak, TwoThousandRoundsWithoutGrowth) {
  soak::Options o;
  o.rounds = 2000;
  o.mode = GetParam();
  o.checkpoints = {1000};
  const soak::Result r = soak::run(o);
  EXPECT_GE(r.rounds, 2000u);
  EXPECT_EQ(r.ticks_with_rules_left, 0u);
  EXPECT_GT(r.events_started, 40u);
  EXPECT_GT(r.faults_fired, 50u);
  EXPECT_GT(r.bad_frames + r.rtn_errors, 0u);
  EXPECT_GT(r.timeouts, 0u);
  ASSERT_EQ(r.checkpoints.size(), 2u);
  const auto& at1000 = r.checkpoints[0];
  const auto& at2000 = r.checkpoints[1];
  EXPECT_EQ(at1000.heap_bytes, at2000.heap_bytes);
  EXPECT_EQ(at1000.heap_blocks, at2000.heap_blocks);
  EXPECT_EQ(at1000.level_table, at2000.level_table);
  EXPECT_LE(at2000.report_table, r.report_bound);
}

INSTANTIATE_TEST_SUITE_P(AlarmMode, Soak, ::testing::Values(1, 2));

}  // namespace
