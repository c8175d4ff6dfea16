#pragma once

// This host's own runtime: the series the history keeps of a device over time, and their
// aggregates per bucket (a minute, an hour, or a query's step).
//
// A series has a stable one-byte number, so an aggregate row is a short blob of the series the
// plant reported in that bucket: absent hardware and absent values cost nothing and are never
// averaged in. Analog values keep the count, min, max and mean; counts and states keep the last
// value.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "klx/site_model.h"

namespace klx {
namespace series {

enum class Kind { none, analog, last };

// The catalogue: "dc.voltage" (the bus: the first present panel), "dc.current", "dc.power",
// "rc.voltage", "rc.current" (the modules together), "ac1.a" .. "ac2.f" (line, phase or
// frequency), "ac.value_a" .. "ac.value_c" (the AC section's own three values), "dc1.voltage" ..
// "dc2.power", "rc.m1.current" .. "rc.m40.current"; the last value of "rc.modules",
// "rc.failed", "rc.off", "ac.lines" and "rc.m1.state" .. "rc.m40.state" (0 running, 1 off,
// 2 failed).
Kind kind(uint8_t id);
std::string name(uint8_t id);
const char* unit(uint8_t id);
std::optional<uint8_t> id_of(const std::string& name);
// Every series of the catalogue, in order of number.
std::vector<uint8_t> all();

// What the trends show without a choice: the DC bus voltage and load current, the first mains
// line's three phases and the rectifiers' total current.
std::vector<uint8_t> defaults();

// The present values of one reading, as (series, value).
using Sample = std::vector<std::pair<uint8_t, float>>;
void sample(const PlantReading& p, Sample& out);

}  // namespace series

// The aggregate of every series over one bucket.
class SeriesBucket {
 public:
  struct Stat {
    uint32_t n = 0;  // values taken in; 0: absent in the bucket
    float min = 0, max = 0;
    double sum = 0;  // for the mean
    float last = 0;
    float mean() const { return n ? static_cast<float>(sum / n) : 0.0f; }
  };

  void add(const series::Sample& s);
  // Takes in another bucket's aggregate (an hour from its minutes), weighted by its counts.
  void merge(const SeriesBucket& other);
  void clear();
  bool empty() const { return present_.empty(); }
  const Stat* get(uint8_t id) const { return stats_[id].n ? &stats_[id] : nullptr; }

  // The stored form: per present series its number, then for analog series the count (16 bits,
  // saturated) and min, max, mean (32-bit floats), for the others the last value; little-endian.
  std::string encode() const;
  // False for a blob that is not one (untrusted: the database is a file anyone may have edited).
  bool decode(const uint8_t* p, size_t n);

 private:
  void take(uint8_t id, uint32_t n, float min, float max, double sum, float last);
  std::array<Stat, 256> stats_{};
  std::vector<uint8_t> present_;
};

}  // namespace klx
