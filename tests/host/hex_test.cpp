// The one hex reader and writer: blanks only where asked for, the failing character located.
#include "klx/hex.h"

#include <gtest/gtest.h>

namespace {

TEST(Hex, DecodesAndLocatesWhatIsWrong) {
  using E = klx::HexDecode::Error;
  const struct {
    const char* text;
    bool blanks;
    E error;
    size_t at;
    std::vector<uint8_t> bytes;
  } rows[] = {
      {"7e20aB", false, E::kNone, 0, {0x7E, 0x20, 0xAB}},
      {"7e 2\t0\r\n", true, E::kNone, 0, {0x7E, 0x20}},
      {"7e 20", false, E::kBadDigit, 2, {0x7E}},
      {"7g", false, E::kBadDigit, 1, {}},
      {"7e2", false, E::kOddLength, 3, {0x7E}},
      {"", false, E::kNone, 0, {}},
  };
  for (const auto& r : rows) {
    std::vector<uint8_t> out;
    const klx::HexDecode d = klx::from_hex(r.text, out, r.blanks);
    EXPECT_EQ(d.error, r.error) << r.text;
    EXPECT_EQ(d.at, r.at) << r.text;
    EXPECT_EQ(out, r.bytes) << r.text;
  }
  EXPECT_EQ(klx::to_hex({0x00, 0x7E, 0xFF}), "007eff");
  EXPECT_EQ(klx::to_hex({0x00, 0x7E, 0xFF}, true), "007EFF");
}

}  // namespace
