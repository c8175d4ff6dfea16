#pragma once

#include <ctime>

// The test binaries define time() themselves, so the device's clock (Boost's local time and
// time(), both built on it) follows these calls. Without a set time the real clock runs.
namespace test_clock {

void set(std::time_t now);
void advance(long seconds);
void use_real();
std::time_t now();

// Sets a fixed time for the life of a test and returns to the real clock afterwards.
struct Frozen {
  explicit Frozen(std::time_t start = 1700000000) { set(start); }
  ~Frozen() { use_real(); }
  Frozen(const Frozen&) = delete;
  Frozen& operator=(const Frozen&) = delete;
};

}  // namespace test_clock
