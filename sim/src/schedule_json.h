#pragma once

#include <vector>

#include "json_in.h"
#include "sim/model.h"

// The "events" and "faults" lists of the model file.
namespace sim {

std::vector<Event> read_events(const JsonIn& list);
std::vector<FaultRule> read_faults(const JsonIn& list);
// The model's "noise" (noise_json.cpp); `seed` is the model's, used unless it names its own.
NoiseSettings read_noise(const JsonIn& in, uint32_t seed);
// Events must name a line, panel or module the model has (modules: up to the largest count the
// shelf reaches).
void check_event_targets(const Model& m, const std::string& origin);

}  // namespace sim
