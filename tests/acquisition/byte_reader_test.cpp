// The bounded reader under the decoders: failure is sticky and claims the width, lists follow
// the capacity rules.
#include "acquisition/byte_reader.h"

#include <gtest/gtest.h>

#include "acq_test_util.h"
#include "acquisition/rc_decoders.h"

namespace {
using namespace acq;

std::string bytes_of(const le_f32& v) {
  return hex::encode(std::vector<uint8_t>(v.bytes, v.bytes + 4));
}

TEST(ByteReader, FailedReadClaimsItsWidthAndSticks) {
  const std::vector<uint8_t> buf = H("0102030405");
  ByteReader r(buf.data(), 5);
  uint8_t b = 0;
  le_f32 v;
  EXPECT_TRUE(r.u8(b));
  EXPECT_TRUE(r.copy(v));  // exactly the four bytes left
  EXPECT_EQ(r.result(), 5);
  EXPECT_FALSE(r.u8(b));
  EXPECT_EQ(r.consumed(), 6);
  EXPECT_EQ(r.result(), -1);
  EXPECT_EQ(b, 1);  // a failed read leaves its output alone

  ByteReader short_one(buf.data(), 3);
  EXPECT_FALSE(short_one.copy(v));
  EXPECT_FALSE(short_one.u8(b));  // failure sticks even where a byte would fit
  EXPECT_EQ(short_one.consumed(), 5);
  EXPECT_EQ(bytes_of(v), "02030405");
}

TEST(ByteReader, ListsStoredWhenTheyFitElseSteppedOver) {
  const std::vector<uint8_t> buf = H("02 20202020 0000a041 02 0a0b 03 0c0d0e");
  ByteReader r(buf.data(), static_cast<int>(buf.size()));
  le_f32 values[2];
  uint8_t small[2] = {0xEE, 0xEE};
  uint8_t count = 0;
  r.u8(count);
  EXPECT_TRUE(r.values(values, count, 2, kInvalidValue));
  EXPECT_EQ(bytes_of(values[0]), "cdccccbd");
  EXPECT_EQ(bytes_of(values[1]), "0000a041");
  r.u8(count);
  EXPECT_TRUE(r.bytes(small, count, 1));  // 2 > 1: stepped over as a whole
  EXPECT_EQ(small[0], 0xEE);
  r.u8(count);
  EXPECT_TRUE(r.bytes_cut(small, count, 2));  // cut to 2, the third stepped over
  EXPECT_EQ(hex::encode({small[0], small[1]}), "0c0d");
  EXPECT_EQ(r.result(), static_cast<int>(buf.size()));
}

TEST(ByteReader, HugeSkipsDoNotOverflow) {
  const std::vector<uint8_t> buf = H("01");
  ByteReader r(buf.data(), 1);
  for (int i = 0; i < 1000; ++i) r.skip(INT32_MAX);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.consumed(), INT32_MAX);
  EXPECT_EQ(r.result(), -1);
}

TEST(ByteReader, ModuleExtrasWithAllEqualBytesAreZero) {
  const std::vector<uint8_t> buf = H("20202020 00000000 0000a041");
  ByteReader r(buf.data(), static_cast<int>(buf.size()));
  le_f32 out[3];
  for (auto& v : out) v = 5.0f;
  EXPECT_TRUE(rc_wire::read_module_extras(r, out, 3, 3));
  EXPECT_EQ(bytes_of(out[0]), "00000000");
  EXPECT_EQ(bytes_of(out[1]), "00000000");
  EXPECT_EQ(bytes_of(out[2]), "0000a041");
}

}  // namespace
