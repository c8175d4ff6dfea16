#pragma once

#include <cstdint>
#include <string>

// A history database of one device (data_id 7) for the week that ends at `end`, written through
// the store with its upkeep run on the week's own timeline: a round every 20 s, and in the
// middle two hours without mains (the phases at 0 V, the modules idle, the bus on the battery
// falling from 53.5 V to 47 V), the input-power alarm raised and cleared around them.
void write_history_week(const std::string& path, int64_t end);
