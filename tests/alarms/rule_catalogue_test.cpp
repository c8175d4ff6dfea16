// The catalogue the fuzz targets, the soak and the benchmark configure their devices from: built
// by running the rules, it holds every family, the communication alarm included.
#include "support/rule_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(RuleCatalogue, FoundByRunningTheRules) {
  const rule_catalogue::Catalogue& c = rule_catalogue::every_rule();
  const auto has = [&](const char* code) {
    return std::find(c.alarm_codes.begin(), c.alarm_codes.end(), code) != c.alarm_codes.end();
  };
  for (const char* code : {"120600180010",     // communication alarm (Reset)
                           "220600160010",     // mains frequency (mode 2)
                           "210600340010",     // DC bus voltage
                           "120600040400",     // module 40's communication state
                           "120600472730"}) {  // the second panel's 255th load fuse
    EXPECT_TRUE(has(code)) << code;
  }
  EXPECT_EQ(c.thresholds.size(), 5u);
  EXPECT_EQ(c.report_identifiers, 18u);  // 12 phase voltages, 2 frequencies, 4 DC values
}

}  // namespace
