// Text pieces of the alarm rules.
#include "alarms/rule_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

namespace {

// Measured values must read exactly as the standard stream writes a float by default.
TEST(RuleText, FloatsReadAsTheStreamWritesThem) {
  const float values[] = {0.0f,
                          -0.0f,
                          230.0f,
                          285.5f,
                          149.9f,
                          0.01f,
                          -0.1f,
                          1e-5f,
                          123456.0f,
                          1234567.0f,
                          999999.5f,
                          3.4e38f,
                          -12.5f,
                          53.1f,
                          1.0f / 3.0f,
                          std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::denorm_min()};
  for (float v : values) {
    std::ostringstream stream;
    stream << v;
    std::string text = "x";
    rule_text::append_float(text, v);
    EXPECT_EQ(text, "x" + stream.str()) << v;
  }
}

TEST(RuleText, UnitNumbersHaveThreeDigits) {
  const std::pair<unsigned, const char*> cases[] = {
      {1, "pre0010"}, {12, "pre0120"}, {40, "pre0400"}, {273, "pre2730"}, {1000, "pre10000"}};
  std::string code = "stale contents";
  for (const auto& [n, expected] : cases) {
    rule_text::numbered_code(code, "pre", n);
    EXPECT_EQ(code, expected);
  }
  std::string name;
  rule_text::numbered_name(name, "直流屏2", 1, "负载熔丝故障告警");
  EXPECT_EQ(name, "直流屏2001负载熔丝故障告警");
}

}  // namespace
