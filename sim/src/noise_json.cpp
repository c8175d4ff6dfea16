#include "json_in.h"
#include "schedule_json.h"

namespace sim {

// "noise": true (the defaults, the model's seed) or
// {"seed": 7, "current_pct": 1, "voltage": 0.05, "frequency": 0.02, "step_pct": 15,
//  "step_every_s": 3600}.
NoiseSettings read_noise(const JsonIn& in, uint32_t seed) {
  NoiseSettings n;
  n.seed = seed;
  if (in.raw().isBool()) {
    n.on = in.flag();
    return n;
  }
  in.require_object();
  in.only_keys({"on", "seed", "current_pct", "voltage", "frequency", "step_pct", "step_every_s"});
  n.on = true;
  if (in.has("on")) n.on = in.at("on").flag();
  if (in.has("seed")) n.seed = static_cast<uint32_t>(in.at("seed").integer(0, 2147483647));
  const std::pair<const char*, double*> numbers[] = {{"current_pct", &n.current_pct},
                                                     {"voltage", &n.voltage},
                                                     {"frequency", &n.frequency},
                                                     {"step_pct", &n.step_pct},
                                                     {"step_every_s", &n.step_every_s}};
  for (const auto& k : numbers) {
    if (!in.has(k.first)) continue;
    const double v = in.at(k.first).number();
    if (!(v >= 0 && v <= 1e6)) in.at(k.first).fail("expected a number from 0 to 1000000");
    *k.second = v;
  }
  return n;
}

}  // namespace sim
