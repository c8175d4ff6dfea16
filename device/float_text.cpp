#include "device/float_text.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace float_text {

namespace {

constexpr uint64_t kPow10[] = {
    1ULL,           10ULL,           100ULL,          1000ULL,      10000ULL,
    100000ULL,      1000000ULL,      10000000ULL,     100000000ULL, 1000000000ULL,
    10000000000ULL, 100000000000ULL, 1000000000000ULL};
constexpr int kMaxScale = 12;  // m * 10^12 still fits in 64 bits

struct Parts {
  bool negative;
  bool finite;
  uint32_t m;  // 0 only for a zero
  int e;
};

Parts split(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const uint32_t biased = (bits >> 23) & 0xFF;
  const uint32_t fraction = bits & 0x7FFFFF;
  if (biased == 0) return {(bits >> 31) != 0, true, fraction, -149};
  return {(bits >> 31) != 0, biased != 0xFF, fraction | 0x800000, static_cast<int>(biased) - 150};
}

// m * 2^-s rounded to an integer, ties to even. s is 1 to 63 and m * 2^-s below 2^63.
uint64_t round_shift(uint64_t num, int s) {
  const uint64_t q = num >> s;
  const uint64_t rest = num & ((uint64_t{1} << s) - 1);
  const uint64_t half = uint64_t{1} << (s - 1);
  return q + (rest > half || (rest == half && (q & 1)));
}

char* digits(char* out, uint64_t v) { return std::to_chars(out, out + 24, v).ptr; }

// Digits `q` with `k` of them after the point; trailing zeros of the fraction and a bare point
// are left out, as %g leaves them out.
char* place_point(char* out, uint64_t q, int k) {
  char text[24];
  const int n = static_cast<int>(digits(text, q) - text);
  int end = n;
  while (k > 0 && end > 0 && text[end - 1] == '0' && end > n - k) --end;
  const int whole = n - k;  // digits before the point; 0 or less: "0." and zeros first
  if (whole <= 0) {
    *out++ = '0';
    *out++ = '.';
    for (int i = whole; i < 0; ++i) *out++ = '0';
    std::memcpy(out, text, end);
    return out + end;
  }
  std::memcpy(out, text, whole);
  out += whole;
  if (end > whole) {
    *out++ = '.';
    std::memcpy(out, text + whole, end - whole);
    out += end - whole;
  }
  return out;
}

// %.Pg of a positive finite float in plain notation; null when exponent notation or the
// value's size needs the general way.
char* general_positive(char* out, uint32_t m, int e, int precision) {
  const uint64_t top = kPow10[precision];
  if (e >= 0) {
    if (e > 40) return nullptr;
    const uint64_t v = uint64_t{m} << e;
    return v < top ? digits(out, v) : nullptr;  // an integer below 10^P: all its digits
  }
  const int s = -e;
  if (s > 63) return nullptr;
  // floor(log10(v)) is floor(b * log10(2)) or one more, with b = floor(log2(v)).
  const int b = 31 - __builtin_clz(m) - s;
  const int low = b >= 0 ? (b * 78913) >> 18 : -((-b * 78913 + (1 << 18) - 1) >> 18);
  int k = precision - 1 - low;  // decimals that give P digits, or P + 1
  if (k < 0 || k > kMaxScale) return nullptr;
  uint64_t q = round_shift(uint64_t{m} * kPow10[k], s);
  if (q >= top) {
    if (--k < 0) return nullptr;
    q = round_shift(uint64_t{m} * kPow10[k], s);
  }
  if (q == top) {  // rounded up to one more digit
    q /= 10;
    --k;
  }
  // %g writes exponent notation when the exponent is below -4 or not below P.
  if (q < kPow10[precision - 1] || q >= top || k < 0 || k > precision + 3) return nullptr;
  return place_point(out, q, k);
}

// %f of a finite float's magnitude; null when it is too large for the short way.
char* fixed_positive(char* out, uint32_t m, int e) {
  uint64_t q;
  if (e >= 0) {
    if (e > 19) return nullptr;  // m * 2^19 * 10^6 is below 2^64
    q = (uint64_t{m} << e) * kPow10[6];
  } else {
    const int s = -e;
    q = s > 62 ? 0 : round_shift(uint64_t{m} * kPow10[6], s);  // m * 10^6 is below 2^44
  }
  out = digits(out, q / kPow10[6]);
  *out++ = '.';
  const uint64_t fraction = q % kPow10[6];
  for (int i = 5; i >= 0; --i) out[5 - i] = static_cast<char>('0' + fraction / kPow10[i] % 10);
  return out + 6;
}

}  // namespace

char* general(char* out, float v, int precision) {
  const Parts p = split(v);
  if (p.finite) {
    char* at = out;
    if (p.negative) *at++ = '-';
    if (p.m == 0) {
      *at++ = '0';
      return at;
    }
    if (char* end = general_positive(at, p.m, p.e, precision)) return end;
  }
  return std::to_chars(out, out + 32, static_cast<double>(v), std::chars_format::general, precision)
      .ptr;
}

char* fixed(char* out, float v) {
  const Parts p = split(v);
  if (p.finite) {
    char* at = out;
    if (p.negative) *at++ = '-';
    if (char* end = fixed_positive(at, p.m, p.e)) return end;
  }
  return std::to_chars(out, out + 48, static_cast<double>(v), std::chars_format::fixed, 6).ptr;
}

}  // namespace float_text
