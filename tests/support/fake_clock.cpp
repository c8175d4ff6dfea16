#include "support/fake_clock.h"

#include <atomic>
#include <time.h>

namespace {
std::atomic<bool> frozen{false};
std::atomic<long long> fixed_now{0};

std::time_t real_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}
}  // namespace

namespace test_clock {
void set(std::time_t now) {
  fixed_now = now;
  frozen = true;
}
void advance(long seconds) { fixed_now += seconds; }
void use_real() { frozen = false; }
std::time_t now() { return frozen ? static_cast<std::time_t>(fixed_now.load()) : real_now(); }
}  // namespace test_clock

// Replaces the C library's time() for the whole test binary and the libraries it loads.
extern "C" time_t time(time_t* out) {
  const time_t t = test_clock::now();
  if (out) *out = t;
  return t;
}
