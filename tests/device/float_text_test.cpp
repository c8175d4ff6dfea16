// Floats written as printf writes them: %g (the stream's default), %.9g (lexical_cast) and %f.
#include "device/float_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

float from_bits(uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

uint32_t bits_of(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

void expect_as_printf(float v) {
  char want[64];
  char got[48];
  std::snprintf(want, sizeof want, "%g", static_cast<double>(v));
  EXPECT_EQ(std::string(got, float_text::general(got, v, 6)), want) << std::hex << bits_of(v);
  std::snprintf(want, sizeof want, "%.9g", static_cast<double>(v));
  EXPECT_EQ(std::string(got, float_text::general(got, v, 9)), want) << std::hex << bits_of(v);
  std::snprintf(want, sizeof want, "%f", static_cast<double>(v));
  EXPECT_EQ(std::string(got, float_text::fixed(got, v)), want) << std::hex << bits_of(v);
}

// Stretches of consecutive floats where the short way decides: ties of the last digit, the
// switches to exponent notation, carries into one more digit; and a thin sweep of every float.
TEST(FloatText, AsPrintfWritesThem) {
  struct Stretch {
    float from;
    uint32_t count;
    uint32_t step;
  };
  const Stretch stretches[] = {
      {0.0f, 0xFFFFFFFFu / 40009, 40009},  // the whole range, positive and negative
      {99999.0f, 2000, 1},                 // halves: ties to even at six digits
      {999990.0f, 2000, 1},                // rounding up to 1e+06
      {9.9999e-5f, 2000, 1},               // the lower switch to exponent notation
      {0.0999999f, 2000, 1},               // a carry that adds a digit before the point
      {99999999.0f, 200, 1},               // nine digits, and integers beyond
      {4.3e12f, 2000, 1},                  // %f near the end of the short way
      {-230.1f, 2000, 1},
  };
  for (const auto& s : stretches) {
    uint32_t bits = bits_of(s.from);
    for (uint32_t i = 0; i < s.count; ++i, bits += s.step) expect_as_printf(from_bits(bits));
  }
  for (float v : {0.0f, -0.0f, 1e-45f, 3.4028235e38f, 1.0f / 0.0f, -1.0f / 0.0f})
    expect_as_printf(v);
}

}  // namespace
