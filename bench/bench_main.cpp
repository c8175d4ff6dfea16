#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>

// The plug-in writes diagnostic lines on every round (and flushes them, as it must). They go to
// /dev/null, so the figures include writing them but no terminal; the benchmark's own table goes
// to standard error, and --benchmark_out writes the machine-readable results.
int main(int argc, char** argv) {
  if (!std::freopen("/dev/null", "w", stdout)) {
    std::cerr << "cannot send standard output to /dev/null\n";
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::ConsoleReporter console(benchmark::ConsoleReporter::OO_Tabular);
  console.SetOutputStream(&std::cerr);
  console.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&console);
  benchmark::Shutdown();
  return 0;
}
