// klx-round-probe: the figures of the largest round that a benchmark loop cannot give.
//
//   klx-round-probe [--mode 1|2] [--rounds N] [--runner-events]
//                                                   runs N rounds (for callgrind: the rounds run
//                                                   inside klx_bench_rounds) and prints the
//                                                   round's frames, wire time and heap use;
//                                                   with the runner's event sink (alarm book,
//                                                   latest record) instead of a counting one
//   klx-round-probe --host-config MODE PORT          prints a klx-host configuration of the round
//
// Results go to standard output as "key value" lines; the plug-in's own lines go to /dev/null.

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "round_rig.h"

#ifdef KLX_HAVE_RUNNER
#include "host_events.h"
#include "trace.h"
#endif

namespace {

// Every C++ allocation of the process, counted while `counting` is set. Live bytes are tracked
// by the allocator's usable size, so a free is matched to its allocation.
struct HeapTally {
  bool counting = false;
  unsigned long long allocations = 0;
  unsigned long long bytes = 0;
  long long live = 0;
} g_heap;

void* counted_alloc(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  g_heap.live += static_cast<long long>(malloc_usable_size(p));
  if (g_heap.counting) {
    ++g_heap.allocations;
    g_heap.bytes += n;
  }
  return p;
}

void counted_free(void* p) noexcept {
  if (!p) return;
  g_heap.live -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

// The measured rounds, in a function of their own so that callgrind can collect them alone
// (--toggle-collect=klx_bench_rounds).
extern "C" __attribute__((noinline)) int klx_bench_rounds(bench::RoundRig* rig, int n) {
  int answers = 0;
  for (int i = 0; i < n; ++i) answers += rig->run_round();
  return answers;
}

namespace {

std::FILE* g_out = nullptr;

void put(const char* key, double value) { std::fprintf(g_out, "%s %.10g\n", key, value); }

long long malloc_in_use() { return static_cast<long long>(mallinfo2().uordblks); }

int usage() {
  std::fprintf(stderr,
               "usage: klx-round-probe [--mode 1|2] [--rounds N] [--runner-events]\n"
               "       klx-round-probe --host-config MODE PORT\n");
  return 2;
}

void print_frames(bench::RoundRig& rig) {
  for (const auto& e : rig.exchanges())
    std::fprintf(g_out, "frame %02X/%02X answer_chars %zu info_bytes %zu\n", e.cid1, e.cid2,
                 e.answer.size(), e.info.size());
  const size_t chars = rig.command_chars() + rig.answer_chars();
  put("command_chars", static_cast<double>(rig.command_chars()));
  put("answer_chars", static_cast<double>(rig.answer_chars()));
  put("wire_seconds", bench::wire_seconds(chars));
}

int probe(int mode, int rounds, klx::DeviceEvents* events) {
  const long long live_before = g_heap.live;
  bench::RoundRig rig(bench::RoundRig::Deferred{}, mode, events);
  const long long live_rig = g_heap.live;
  const long long malloc_rig = malloc_in_use();
  rig.create_device();

  rig.run_round();  // the DC layout decision and the first uses of the tables
  const std::string problem = rig.verify();
  if (!problem.empty()) {
    std::fprintf(stderr, "klx-round-probe: the round did not run as planned: %s\n",
                 problem.c_str());
    return 1;
  }
  const long long live_after_first = g_heap.live - live_rig;
  const long long malloc_after_first = malloc_in_use() - malloc_rig;

  g_heap.counting = true;
  const int answers = klx_bench_rounds(&rig, rounds);
  g_heap.counting = false;
  const long long live_end = g_heap.live - live_rig;
  const long long malloc_growth = malloc_in_use() - malloc_rig - malloc_after_first;
  if (answers != rounds * static_cast<int>(rig.exchanges().size())) {
    std::fprintf(stderr, "klx-round-probe: %d answers in %d rounds\n", answers, rounds);
    return 1;
  }

  put("mode", mode);
  put("rounds", rounds);
  put("answers_per_round", static_cast<double>(answers) / rounds);
  if (auto* c = rig.counting()) put("rules_largest_batch", static_cast<double>(c->largest_batch));
  print_frames(rig);
  put("heap_allocations_per_round", static_cast<double>(g_heap.allocations) / rounds);
  put("heap_bytes_per_round", static_cast<double>(g_heap.bytes) / rounds);
  put("live_device_bytes_after_2_rounds", static_cast<double>(live_after_first));
  put("live_device_bytes_after_last_round", static_cast<double>(live_end));
  put("live_growth_bytes", static_cast<double>(live_end - live_after_first));
  put("malloc_growth_bytes", static_cast<double>(malloc_growth));
  put("live_rig_bytes_without_device", static_cast<double>(live_rig - live_before));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Results on the real standard output; the plug-in's diagnostic lines to /dev/null.
  const int results = dup(STDOUT_FILENO);
  g_out = results >= 0 ? fdopen(results, "w") : nullptr;
  if (!g_out || !std::freopen("/dev/null", "w", stdout)) return 1;

  int mode = 2;
  int rounds = 1000;
  bool runner_events = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--mode" && i + 1 < argc) {
      mode = std::atoi(argv[++i]);
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (a == "--runner-events") {
      runner_events = true;
    } else if (a == "--host-config" && i + 2 < argc) {
      const int m = std::atoi(argv[i + 1]);
      std::fputs(bench::host_config_json(m, argv[i + 2]).c_str(), g_out);
      return 0;
    } else {
      return usage();
    }
  }
  if ((mode != 1 && mode != 2) || rounds < 1) return usage();
  int rc = 0;
  if (runner_events) {
#ifdef KLX_HAVE_RUNNER
    klxhost::Trace trace;
    klx::RecordCache cache("");
    klxhost::DeviceHub hub(1, klx::DeviceLayout{}, {&cache, nullptr, nullptr});
    klxhost::HostEvents events(klxhost::Services{&trace, &hub, nullptr}, {});
    rc = probe(mode, rounds, &events);
#else
    std::fprintf(stderr, "klx-round-probe: built without the runner\n");
    return 2;
#endif
  } else {
    rc = probe(mode, rounds, nullptr);
  }
  std::fflush(g_out);
  return rc;
}
