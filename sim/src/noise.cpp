#include "sim/noise.h"

#include <cmath>

#include "sim/model.h"

namespace sim {
namespace {

bool g_forced = false;
uint32_t g_forced_seed = 1;

}  // namespace

void force_noise(uint32_t seed) {
  g_forced = true;
  g_forced_seed = seed;
}

Noise::Noise(const NoiseSettings& s) : s_(s) {
  if (g_forced) s_.on = true, s_.seed = g_forced_seed;
  rng_.seed(s_.seed);
}

// Slots are visited in the same order every call; a shelf that grows gets new slots.
void Noise::apply(Model& m, double t) {
  if (!s_.on) return;
  next_ = 0;
  const bool stepped = s_.step_every_s > 0 && static_cast<long long>(t / s_.step_every_s) % 2 == 1;
  const double load = stepped ? 1.0 + s_.step_pct / 100.0 : 1.0;
  auto value = [&](WireValue& w, double spread, double scale, bool relative) {
    if (next_ >= slots_.size()) slots_.resize(next_ + 1);
    Slot& slot = slots_[next_++];
    if (w.is_absent()) return;
    // The nominal is what the model said before the load step.
    const float seen = slot.known && w.value == slot.written ? slot.nominal : w.value;
    slot.nominal = seen;
    slot.known = true;
    const double width = relative ? std::fabs(seen) * scale * spread / 100.0 : spread;
    std::uniform_real_distribution<double> u(-width, width);
    slot.written = static_cast<float>(seen * scale + u(rng_));
    w.value = slot.written;
  };
  for (AcLine& line : m.ac.lines) {
    for (WireValue* v : {&line.a, &line.b, &line.c}) value(*v, s_.voltage, 1.0, false);
    value(line.f, s_.frequency, 1.0, false);
  }
  for (WireValue& v : m.ac.values) value(v, s_.current_pct, load, true);
  value(m.rectifiers.voltage, s_.voltage, 1.0, false);
  for (Module& mod : m.rectifiers.modules) value(mod.current, s_.current_pct, load, true);
  for (DcPanel& p : m.dc.panels) {
    value(p.voltage, s_.voltage, 1.0, false);
    value(p.current, s_.current_pct, load, true);
  }
}

}  // namespace sim
