// The host's rule list: a batch sees every text as it was passed, whatever buffers the texts of
// earlier batches left behind, and a list that is not the device's own is only read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "klx/events.h"
#include "klx/vdevice.h"

namespace {

struct Device : KLXVDevice {
  int Reset() override { return 1; }
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  int Init(std::weak_ptr<KLXController>, unsigned int, const Json::Value&) override { return 1; }
  int InitSetting(const Json::Value&) override { return 1; }
  void RoundDone() override {}
};

struct Batches : klx::DeviceEvents {
  std::vector<std::vector<rule_value>> seen;
  bool on_batch(KLXVDevice&, const std::vector<rule_value>& rules) override {
    seen.push_back(rules);
    return true;
  }
};

// Texts of lengths around what a string holds in place and beyond what is kept for reuse.
std::string text(char c, size_t n) { return std::string(n, c); }

TEST(RuleList, EveryBatchSeesItsOwnTexts) {
  Device dev;
  Batches batches;
  dev.set_events(&batches);
  const std::vector<size_t> lengths[] = {{3, 16, 40}, {40, 300, 15, 64}, {1, 16}, {500, 40, 40, 0}};
  for (size_t round = 0; round < std::size(lengths); ++round) {
    std::vector<rule_value> expected;
    for (size_t i = 0; i < lengths[round].size(); ++i) {
      const size_t n = lengths[round][i];
      const char c = static_cast<char>('a' + round * 5 + i);
      dev.CheckThresholdBool(2, text(c, 12), text(c, n / 2), text(c, n), text(c, n + 1), i % 2, 1);
      expected.push_back(
          {2, text(c, 12), text(c, n / 2), i % 2 ? 1.0 : 0.0, text(c, n), text(c, n + 1), 1});
    }
    dev.DoBatchCheckThreshold(dev.rules_);
    dev.rules_.clear();
    const auto& seen = batches.seen.back();
    ASSERT_EQ(seen.size(), expected.size()) << "round " << round;
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].key, expected[i].key);
      EXPECT_EQ(seen[i].alarm_id, expected[i].alarm_id);
      EXPECT_EQ(seen[i].text1, expected[i].text1);
      EXPECT_EQ(seen[i].text2, expected[i].text2);
      EXPECT_EQ(seen[i].value, expected[i].value);
    }
  }
}

TEST(RuleList, AnotherListIsOnlyRead) {
  Device dev;
  std::vector<rule_value> list(1);
  list[0].text2 = text('x', 100);
  dev.DoBatchCheckThreshold(list);
  EXPECT_EQ(list[0].text2, text('x', 100));
}

}  // namespace
