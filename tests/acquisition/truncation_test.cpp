// Every decoder fed every prefix of a valid answer, each in a buffer of exactly that size: no
// read beyond it (the sanitizer build proves it), a refusal as result, and no byte of the record
// written that the whole answer would not write with the same value.
#include <gtest/gtest.h>

#include <functional>

#include "acq_test_util.h"

namespace {
using namespace acq;

struct Case {
  const char* name;
  Decoder fn;
  std::string answer;
  bool overflow_line;  // the 40/44 decoder reports a short answer by its line, not by -1
};

// Every layout option at work: tower blocks, module padding, extras stepped over.
void setup(korvantis_419& dev) {
  dev.has_tower_ = true;
  dev.skip_41_41_ = 1;
  dev.dc_i_adjust_ = 2;
  dev.data_.rc_channel_count = 2;
}

std::vector<Case> cases() {
  const std::string ac_line = "00005c43 00005c43 00005c43 00004842 01 11111111 01 22222222";
  const std::string module = "00002041 01 33333333 01 44444444 aa";
  const std::string dc = "00005642 00004841 01 55555555 01 66666666 00";
  return {
      {"40_41", &korvantis_419::parse40_41, "02" + ac_line + ac_line + "00002041 00002041 00002041",
       false},
      {"40_43", &korvantis_419::parse40_43, "02 0102 01ff 00", false},
      {"40_44", &korvantis_419::parse40_44,
       "02 01020304 01aa 01bb 01cc 05060708 01aa 01bb 01cc 090a0b", true},
      {"41_41", &korvantis_419::parse41_41, "00 00005842 02" + module + module, false},
      {"41_43", &korvantis_419::parse41_43, "00 02 010203 01ff 01ee 040506 01ff 01ee", false},
      {"41_44", &korvantis_419::parse41_44, "00 02 07 01ff 01ee 08 01ff 01ee", false},
      {"42_41", &korvantis_419::parse42_41, dc, false},
      {"42_41_2", &korvantis_419::parse42_41_2, dc, false},
      {"42_44", &korvantis_419::parse42_44, "09 02 0101 01 aa", false},
      {"42_44_2", &korvantis_419::parse42_44_2, "09 02 0101 01 aa", false},
  };
}

TEST(Truncation, EveryPrefixOfEveryDecoder) {
  for (const Case& c : cases()) {
    const std::vector<uint8_t> whole = H(c.answer);
    korvantis_419 full;
    fill_record(full, 0xA5);
    setup(full);
    const auto initial = record_of(full);
    ASSERT_EQ(decode(full, c.fn, whole).result, static_cast<int>(whole.size())) << c.name;
    const auto complete = record_of(full);

    for (size_t n = 0; n < whole.size(); ++n) {
      SCOPED_TRACE(std::string(c.name) + " prefix " + std::to_string(n));
      korvantis_419 dev;
      fill_record(dev, 0xA5);
      setup(dev);
      const Decoded d = decode(dev, c.fn, std::vector<uint8_t>(whole.begin(), whole.begin() + n));
      if (c.overflow_line) {
        EXPECT_GT(d.result, static_cast<int>(n));
        EXPECT_NE(d.out.find("PMBusPowerAC:ProcotolError read 40_44 read overflow\n"),
                  std::string::npos);
      } else {
        EXPECT_EQ(d.result, -1);
      }
      const auto rec = record_of(dev);
      for (size_t i = 0; i < rec.size(); ++i)
        ASSERT_TRUE(rec[i] == initial[i] || rec[i] == complete[i]) << "record byte " << i;
    }
  }
}

TEST(Truncation, NegativeLengthReadsNothing) {
  for (const Case& c : cases()) {
    korvantis_419 dev;
    setup(dev);
    const auto before = record_of(dev);
    const uint8_t byte = 0x01;
    StdoutCapture quiet;
    const int result = (dev.*c.fn)(&byte, -3);
    EXPECT_TRUE(c.overflow_line ? result > 0 : result == -1) << c.name;
    EXPECT_EQ(record_of(dev), before) << c.name;
  }
}

}  // namespace
