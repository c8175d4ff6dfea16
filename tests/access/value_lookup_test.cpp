// Single values derived from the record: freshness, names and the AC-loss indications.
#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>

#include "device/clock.h"
#include "support/device_probe.h"
#include "support/fake_clock.h"
#include "support/stdout_capture.h"

namespace {

// The refusal text, or "" when a value came back (stored in `value`).
std::string ask(const VDeviceInterface& dev, const std::string& name, float* value = nullptr) {
  try {
    const float v = dev.Get_Value(5535, name);
    if (value) *value = v;
    return "";
  } catch (const std::out_of_range& e) {
    return e.what();
  }
}

// A device whose last round completed just now (frozen clock).
struct FreshDevice : TestDevice {
  FreshDevice() {
    data_valid_ = 1;
    last_round_time_ = device_clock::local_now();
  }
  void set_line(int line, float a, float b, float c) {
    data_.acChannel[line].a = a;
    data_.acChannel[line].b = b;
    data_.acChannel[line].c = c;
  }
};

TEST(GetValue, NotReadyBeforeTheFirstRoundWhateverTheName) {
  test_clock::Frozen clock;
  TestDevice dev;
  StdoutCapture out;
  EXPECT_EQ(ask(dev, "out_v"), "数据未就绪");
  EXPECT_EQ(ask(dev, "nonsense"), "数据未就绪");
  EXPECT_EQ(out.take(), "in pmbuspower_419 Get_Value\nin pmbuspower_419 Get_Value\n");
}

TEST(GetValue, FreshForSixtySecondsThenTimedOut) {
  test_clock::Frozen clock;
  FreshDevice dev;
  dev.data_.dc.voltage = 53.5f;
  StdoutCapture quiet;
  float v = 0;
  test_clock::advance(60);
  EXPECT_EQ(ask(dev, "out_v", &v), "");
  EXPECT_EQ(v, 53.5f);
  test_clock::advance(1);
  EXPECT_EQ(ask(dev, "out_v"), "数据已超时");
  // Staleness is reported before the name is looked at.
  EXPECT_EQ(ask(dev, "nonsense"), "数据已超时");
}

TEST(GetValue, ClockSetBackCountsAsFresh) {
  test_clock::Frozen clock;
  FreshDevice dev;
  StdoutCapture quiet;
  test_clock::advance(-3600);
  EXPECT_EQ(ask(dev, "out_v"), "");
}

TEST(GetValue, NamesAreExact) {
  test_clock::Frozen clock;
  FreshDevice dev;
  StdoutCapture quiet;
  for (const char* name : {"AC", "out_v ", " ac", "ac3", "", "Out_v"})
    EXPECT_EQ(ask(dev, name), "不支持变量") << "'" << name << "'";
}

struct LineCase {
  float l1[3];
  float l2[3];
  float ac, ac1, ac2;
};

void PrintTo(const LineCase& c, std::ostream* os) {
  *os << "line 1 " << c.l1[0] << "/" << c.l1[1] << "/" << c.l1[2] << " V, line 2 " << c.l2[0] << "/"
      << c.l2[1] << "/" << c.l2[2] << " V";
}

class AcLoss : public testing::TestWithParam<LineCase> {};

TEST_P(AcLoss, PhasesBelow150VoltsMeanTheLineIsLost) {
  const LineCase& c = GetParam();
  test_clock::Frozen clock;
  FreshDevice dev;
  dev.set_line(0, c.l1[0], c.l1[1], c.l1[2]);
  dev.set_line(1, c.l2[0], c.l2[1], c.l2[2]);
  StdoutCapture quiet;
  float ac = -1, ac1 = -1, ac2 = -1;
  ASSERT_EQ(ask(dev, "ac", &ac), "");
  ASSERT_EQ(ask(dev, "ac1", &ac1), "");
  ASSERT_EQ(ask(dev, "ac2", &ac2), "");
  EXPECT_EQ(ac, c.ac);
  EXPECT_EQ(ac1, c.ac1);
  EXPECT_EQ(ac2, c.ac2);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, AcLoss,
    testing::Values(
        // Line 1 dead, line 2 live.
        LineCase{{0, 0, 0}, {230, 230, 230}, 0, 1, 0},
        // A single-line system: line 2 never reported stays at 0 V, so "ac" follows "ac1".
        LineCase{{230, 231, 229}, {0, 0, 0}, 0, 0, 1}, LineCase{{0, 0, 0}, {0, 0, 0}, 1, 1, 1},
        // Exactly 150 V is a live phase; just below is not.
        LineCase{{0, 150.0f, 0}, {0, 0, 0}, 0, 0, 1},
        LineCase{{149.99f, 149.99f, 149.99f}, {0, 0, 149.99f}, 1, 1, 1},
        // One live phase keeps the line.
        LineCase{{0, 0, 0}, {0, 0, 400}, 0, 1, 0}));

}  // namespace
