// klx-soak: many polling rounds in process on a fake clock (see tests/reliability/soak.h), with
// the program's live heap measured at checkpoints. Not part of the test run; the test run has a
// short soak of its own (test_reliability).
//   klx-soak [ROUNDS] [MODE]   (default 100000 rounds, alarm mode 2)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "soak.h"

int main(int argc, char** argv) {
  soak::Options o;
  o.rounds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  o.mode = argc > 2 ? std::atoi(argv[2]) : 2;
  if (o.rounds < 1000) {
    std::fprintf(stderr, "usage: klx-soak [ROUNDS >= 1000] [MODE]\n");
    return 2;
  }
  o.checkpoints = {1000, 10000, o.rounds / 2};
  std::fprintf(stderr, "klx-soak: %llu rounds, alarm mode %d\nmodel: %s\n",
               static_cast<unsigned long long>(o.rounds), o.mode, soak::describe_model().c_str());
  const soak::Result r = soak::run(o);
  std::fprintf(
      stderr,
      "%llu rounds in %.1f s (%llu ticks of 1 s); %llu events played, %llu faults\n"
      "commands %llu, answers %llu, time-outs %llu, RTN errors %llu, bad frames %llu\n"
      "alarm transitions %llu, analog reports %llu; ticks with rules left in the list: %llu\n",
      static_cast<unsigned long long>(r.rounds), r.seconds,
      static_cast<unsigned long long>(r.ticks), static_cast<unsigned long long>(r.events_started),
      static_cast<unsigned long long>(r.faults_fired), static_cast<unsigned long long>(r.commands),
      static_cast<unsigned long long>(r.answers), static_cast<unsigned long long>(r.timeouts),
      static_cast<unsigned long long>(r.rtn_errors), static_cast<unsigned long long>(r.bad_frames),
      static_cast<unsigned long long>(r.alarm_transitions),
      static_cast<unsigned long long>(r.analog_reports),
      static_cast<unsigned long long>(r.ticks_with_rules_left));
  std::fprintf(stderr, "%10s %12s %12s %14s %12s\n", "round", "heap bytes", "heap blocks",
               "report table", "level table");
  for (const auto& c : r.checkpoints)
    std::fprintf(stderr, "%10llu %12zu %12zu %9zu (<=%zu) %12zu\n",
                 static_cast<unsigned long long>(c.round), c.heap_bytes, c.heap_blocks,
                 c.report_table, r.report_bound, c.level_table);
  const auto& first = r.checkpoints.front();
  const auto& last = r.checkpoints.back();
  bool ok = r.rounds >= o.rounds && r.ticks_with_rules_left == 0;
  ok = ok && first.heap_bytes == last.heap_bytes && first.heap_blocks == last.heap_blocks;
  for (const auto& c : r.checkpoints) ok = ok && c.report_table <= r.report_bound;
  std::fprintf(stderr, "klx-soak: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
