// A whole polling round as the host drives it: RefreshStatus, then each of the eight answer
// frames through PMBusProtocol::process (framing) into process_payload, ending in RoundDone.

#include <benchmark/benchmark.h>

#include <map>
#include <memory>

#include "round_rig.h"

#ifdef KLX_HAVE_RUNNER
#include "host_events.h"
#include "trace.h"
#endif

namespace {

// Every round benchmark has the same counters (the CSV output needs them alike); the rule count
// is klx-round-probe's.
void report_round(benchmark::State& state, bench::RoundRig& rig) {
  const size_t chars = rig.command_chars() + rig.answer_chars();
  state.counters["wire_ms"] = bench::wire_seconds(chars) * 1e3;
  state.counters["chars"] = static_cast<double>(chars);
  state.SetItemsProcessed(state.iterations());
}

void run_rounds(benchmark::State& state, bench::RoundRig& rig) {
  rig.run_round();  // the first round decides the DC layout and enters the tables' first uses
  const std::string problem = rig.verify();
  if (!problem.empty()) {
    state.SkipWithError(problem.c_str());
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(rig.run_round());
  report_round(state, rig);
}

// Mode 2 with a level for every code: the largest rule batch.
void BM_round_mode2_rules(benchmark::State& state) {
  bench::RoundRig rig(2);
  run_rounds(state, rig);
}
BENCHMARK(BM_round_mode2_rules);

// Mode 1: every value checked and reported in every round.
void BM_round_mode1_reports(benchmark::State& state) {
  bench::RoundRig rig(1);
  run_rounds(state, rig);
}
BENCHMARK(BM_round_mode1_reports);

#ifdef KLX_HAVE_RUNNER
// Mode 2 with the runner's own sink: the alarm book evaluates every batch and the latest record
// is kept in memory (no trace file, no database, no cache file).
void BM_round_mode2_runner_events(benchmark::State& state) {
  klxhost::Trace trace;
  klx::RecordCache cache("");
  klxhost::DeviceHub hub(1, klx::DeviceLayout{}, {&cache, nullptr, nullptr});
  klxhost::HostEvents events(klxhost::Services{&trace, &hub, nullptr}, {});
  bench::RoundRig rig(2, &events);
  run_rounds(state, rig);
}
BENCHMARK(BM_round_mode2_runner_events);
#endif

}  // namespace
