// The plant's noise: seeded and bounded around the model's values, the load step in every other
// interval, off unless asked for; and a module whose alarm byte is set delivers nothing.
#include "sim/noise.h"

#include <gtest/gtest.h>

#include <cmath>

#include "sim/answers.h"
#include "sim/model.h"

namespace {

TEST(SimNoise, BoundedSeededSteppedAndOffByDefault) {
  sim::Model quiet = sim::default_model();
  sim::Noise(quiet.noise).apply(quiet, 10);
  EXPECT_EQ(quiet.rectifiers.modules[0].current.value,
            sim::default_model().rectifiers.modules[0].current.value);

  sim::NoiseSettings on;
  on.on = true;
  sim::Model a = sim::default_model(), b = a;
  const float amps = a.rectifiers.modules[0].current.value, volts = a.dc.panels[0].voltage.value;
  sim::Noise na(on), nb(on);
  bool moved = false;
  for (int round = 0; round < 200; ++round) {
    const double t = round * 2.0;  // the first hour: no step
    na.apply(a, t);
    nb.apply(b, t);
    const float i = a.rectifiers.modules[0].current.value;
    EXPECT_LE(std::fabs(i - amps), amps * 0.0101f) << round;
    EXPECT_LE(std::fabs(a.dc.panels[0].voltage.value - volts), 0.0501f) << round;
    EXPECT_EQ(i, b.rectifiers.modules[0].current.value) << "same seed, same values";
    moved = moved || i != amps;
  }
  EXPECT_TRUE(moved);
  na.apply(a, 3600 + 1);  // the second hour: 15 % more load
  EXPECT_NEAR(a.rectifiers.modules[0].current.value, amps * 1.15f, amps * 0.0125f);
  // An event's new value becomes the nominal the noise wanders around.
  a.dc.panels[0].voltage = sim::WireValue::of(50.0f);
  na.apply(a, 3602);
  EXPECT_NEAR(a.dc.panels[0].voltage.value, 50.0f, 0.0501f);
}

TEST(SimNoise, AModuleWithItsAlarmByteSetDeliversNothing) {
  sim::Model m = sim::default_model();
  m.rectifiers.modules[1].alarm = 1;
  EXPECT_EQ(sim::module_current(m, m.rectifiers.modules[1]).value, 0.0f);
  EXPECT_NE(sim::module_current(m, m.rectifiers.modules[0]).value, 0.0f);
}

}  // namespace
