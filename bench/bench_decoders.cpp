// Each decoder alone on its answer of the largest round, given the block the dispatcher gives it.

#include <benchmark/benchmark.h>

#include <memory>

#include "round_rig.h"

namespace {

using Decoder = int (korvantis_419::*)(const unsigned char*, int);

// The rig after one round: the module count and the DC layout are known, as in a running device.
bench::RoundRig& rig() {
  static const std::unique_ptr<bench::RoundRig> r = [] {
    auto made = std::make_unique<bench::RoundRig>(2);
    made->run_round();
    return made;
  }();
  return *r;
}

const std::vector<uint8_t>& info_of(int index) { return rig().exchanges()[index].info; }

// `skip` bytes of the info go before the block (data-flag byte, panel-count byte); a second
// panel starts after what the first panel's decoder consumed.
void run_decoder(benchmark::State& state, int index, int skip, Decoder first, Decoder second) {
  korvantis_419& dev = rig().device();
  const std::vector<uint8_t>& info = info_of(index);
  const unsigned char* p = info.data() + skip;
  int len = static_cast<int>(info.size()) - skip;
  if (second) {
    const int used = (dev.*first)(p, len);
    if (used < 0) return state.SkipWithError("first panel malformed");
    p += used;
    len -= used;
    first = second;
  }
  if ((dev.*first)(p, len) < 0) return state.SkipWithError("answer malformed");
  for (auto _ : state) benchmark::DoNotOptimize((dev.*first)(p, len));
  state.SetBytesProcessed(state.iterations() * len);
  state.counters["bytes"] = len;
}

using K = korvantis_419;
BENCHMARK_CAPTURE(run_decoder, parse40_41, 0, 1, &K::parse40_41, nullptr);
BENCHMARK_CAPTURE(run_decoder, parse40_43, 1, 1, &K::parse40_43, nullptr);
BENCHMARK_CAPTURE(run_decoder, parse40_44, 2, 1, &K::parse40_44, nullptr);
BENCHMARK_CAPTURE(run_decoder, parse41_41, 3, 0, &K::parse41_41, nullptr);
BENCHMARK_CAPTURE(run_decoder, parse41_43, 4, 0, &K::parse41_43, nullptr);
BENCHMARK_CAPTURE(run_decoder, parse41_44, 5, 0, &K::parse41_44, nullptr);
BENCHMARK_CAPTURE(run_decoder, parse42_41, 6, 2, &K::parse42_41, nullptr);
BENCHMARK_CAPTURE(run_decoder, parse42_41_2, 6, 2, &K::parse42_41, &K::parse42_41_2);
BENCHMARK_CAPTURE(run_decoder, parse42_44, 7, 2, &K::parse42_44, nullptr);
BENCHMARK_CAPTURE(run_decoder, parse42_44_2, 7, 2, &K::parse42_44, &K::parse42_44_2);

}  // namespace
