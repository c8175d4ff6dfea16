#include "klx/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hex.h"

namespace {

std::vector<uint8_t> bytes_of(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

struct Outcome {
  std::vector<klx::Frame> frames;
  std::vector<klx::FrameError> errors;
};

Outcome feed_all(klx::FrameParser& p, const std::string& wire, size_t chunk = 0) {
  Outcome out;
  const auto sink = [&out](const klx::Frame* f, klx::FrameError e) {
    if (f)
      out.frames.push_back(*f);
    else
      out.errors.push_back(e);
  };
  const auto b = bytes_of(wire);
  if (chunk == 0) chunk = b.size();
  for (size_t at = 0; at < b.size(); at += chunk)
    p.feed(b.data() + at, std::min(chunk, b.size() - at), sink);
  return out;
}

// The worked frames of this device and public captures of other devices that frame the same way.
struct Vector {
  const char* wire;
  uint8_t ver, adr, cid1, cid2;
  const char* info;
};

const Vector kVectors[] = {
    {"~20014041E00201FD3C\r", 0x20, 0x01, 0x40, 0x41, "01"},
    {"~200141410000FDB3\r", 0x20, 0x01, 0x41, 0x41, ""},
    {"~20014241E002FFFD0F\r", 0x20, 0x01, 0x42, 0x41, "ff"},
    {"~20014248600ADC00005642FB7C\r", 0x20, 0x01, 0x42, 0x48, "dc00005642"},
    {"~20014043E00200FD3B\r", 0x20, 0x01, 0x40, 0x43, "00"},
    {"~20004642E00200FD37\r", 0x20, 0x00, 0x46, 0x42, "00"},
    {"~2000460010960001100CD70CE90CF40CD60CEF0CE50CE10CDC0CE90CF00CE80CEF0CEA0CDA0CDE0CD8060BA60BA0"
     "0B970BA60BA50BA2FD5C14A0344E0A426803134650004603E8149F0000000000000000DC6C\r",
     0x20, 0x00, 0x46, 0x00,
     "0001100cd70ce90cf40cd60cef0ce50ce10cdc0ce90cf00ce80cef0cea0cda0cde0cd8060ba60ba00b970ba60ba5"
     "0ba2fd5c14a0344e0a426803134650004603e8149f0000000000000000"},
    {"~20024600D05E1002080D020D020D020D030D000D010D010D03050B7D0B690B690B690B73FFFA680EFFFF04FFFF00"
     "00"
     "0174E401B198E906\r",
     0x20, 0x02, 0x46, 0x00,
     "1002080d020d020d020d030d000d010d010d03050b7d0b690b690b690b73fffa680effff04ffff00000174e401b19"
     "8"},
    {"~25004600E00201FD37\r", 0x25, 0x00, 0x46, 0x00, "01"},
};

TEST(FrameCodec, EncodesTheWorkedFrames) {
  for (const auto& v : kVectors) {
    const auto info = hex::decode(v.info);
    EXPECT_EQ(klx::encode_frame(v.ver, v.adr, v.cid1, v.cid2, info.data(), info.size()), v.wire);
  }
}

TEST(FrameCodec, LengthChecksumNibbles) {
  EXPECT_EQ(klx::frame_lchksum(0x012), 0xD);
  EXPECT_EQ(klx::frame_lchksum(0), 0x0);
  EXPECT_EQ(klx::frame_lchksum(2), 0xE);
  const std::string chars = "20014043E00200";
  EXPECT_EQ(klx::frame_chksum(chars.data(), chars.size()), 0xFD3B);
}

TEST(FrameCodec, RefusesInfoBeyondLenid) {
  std::vector<uint8_t> info(klx::kFrameMaxInfoBytes + 1);
  EXPECT_THROW(klx::encode_frame(0x20, 1, 0x40, 0x41, info.data(), info.size()), std::length_error);
  info.pop_back();
  EXPECT_EQ(klx::encode_frame(0x20, 1, 0x40, 0x41, info.data(), info.size()).size(),
            18u + info.size() * 2);
}

TEST(FrameParser, ParsesEveryVectorSplitAtEveryPosition) {
  for (const auto& v : kVectors) {
    const std::string wire = v.wire;
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
      klx::FrameParser p;
      auto a = feed_all(p, wire.substr(0, cut));
      // Once the header is in, the frame's length is known (until it is over).
      const bool header_in = cut > klx::kFrameHeaderChars && cut < wire.size();
      EXPECT_EQ(p.expected_chars(), header_in ? wire.size() : 0u) << wire << " cut at " << cut;
      auto b = feed_all(p, wire.substr(cut));
      a.frames.insert(a.frames.end(), b.frames.begin(), b.frames.end());
      ASSERT_EQ(a.frames.size(), 1u) << wire << " cut at " << cut;
      const auto& f = a.frames[0];
      EXPECT_EQ(f.ver, v.ver);
      EXPECT_EQ(f.adr, v.adr);
      EXPECT_EQ(f.cid1, v.cid1);
      EXPECT_EQ(f.cid2, v.cid2);
      EXPECT_EQ(hex::encode(f.info), v.info);
      EXPECT_EQ(f.lenid, f.info.size() * 2);
      EXPECT_TRUE(a.errors.empty() && b.errors.empty());
    }
  }
}

TEST(FrameParser, OneByteAtATimeAndSeveralFramesAtOnce) {
  std::string wire;
  for (const auto& v : kVectors) wire += v.wire;
  klx::FrameParser bytewise;
  EXPECT_EQ(feed_all(bytewise, wire, 1).frames.size(), std::size(kVectors));
  klx::FrameParser whole;
  EXPECT_EQ(feed_all(whole, wire).frames.size(), std::size(kVectors));
  EXPECT_EQ(whole.counters().frames, std::size(kVectors));
  EXPECT_EQ(whole.counters().noise_bytes, 0u);
}

TEST(FrameParser, AcceptsLowerCaseHex) {
  // The checksum covers the characters as sent: lower-case letters change it.
  const std::string lower = "20014248600adc00005642";
  const uint16_t sum = klx::frame_chksum(lower.data(), lower.size());
  char tail[8];
  snprintf(tail, sizeof tail, "%04x\r", sum);
  klx::FrameParser q;
  const auto good = feed_all(q, "~" + lower + tail);
  ASSERT_EQ(good.frames.size(), 1u);
  EXPECT_EQ(hex::encode(good.frames[0].info), "dc00005642");
}

// Each row: the line's bytes, the frames expected through, and the counter that must move.
struct BadCase {
  const char* name;
  std::string wire;
  size_t good;
  uint64_t klx::FrameCounters::*counter;
  uint64_t count;
  std::vector<klx::FrameError> errors;
};

TEST(FrameParser, RejectsAndCountsEachFault) {
  using E = klx::FrameError;
  using C = klx::FrameCounters;
  const std::string good = "~20014041E00201FD3C\r";
  const std::vector<BadCase> cases = {
      {"noise before SOI", "\x01zz\r\n" + good, 1, &C::noise_bytes, 5, {}},
      {"bad LCHKSUM", "~20014041F00201FD3C\r" + good, 1, &C::bad_lchksum, 1, {E::kBadLchksum}},
      {"bad CHKSUM", "~20014041E00201FD3D\r" + good, 1, &C::bad_chksum, 1, {E::kBadChksum}},
      {"bad hex in info", "~20014041E002G1FD3C\r" + good, 1, &C::bad_hex, 1, {E::kBadHex}},
      {"line feed in frame", "~20014041E002\n01FD3C\r" + good, 1, &C::bad_hex, 1, {E::kBadHex}},
      {"LENID says 1, INFO has 2",
       "~20004642F00100FD37\r" + good,
       1,
       &C::lenid_mismatch,
       1,
       {E::kLenidMismatch}},
      {"CR before the checksum",
       "~20014041E00201FD\r" + good,
       1,
       &C::lenid_mismatch,
       1,
       {E::kLenidMismatch}},
      {"cut off by a new SOI", "~20014041E002" + good, 1, &C::cut_off, 1, {}},
      {"wrong address",
       "~25004600E00201FD37\r" + good,
       1,
       &C::wrong_address,
       1,
       {E::kWrongAddress}},
  };
  for (const auto& c : cases) {
    klx::FrameParser p;
    p.expect_address(1);
    const auto out = feed_all(p, c.wire);
    EXPECT_EQ(out.frames.size(), c.good) << c.name;
    EXPECT_EQ(p.counters().*c.counter, c.count) << c.name;
    EXPECT_EQ(out.errors, c.errors) << c.name;
    EXPECT_EQ(p.state(), klx::FrameParser::State::kHunt) << c.name;
  }
}

TEST(FrameParser, OversizeLenidIsRejectedAfterTheHeader) {
  klx::FrameParser p(16);
  std::vector<uint8_t> info(17, 0x55);
  const auto big = klx::encode_frame(0x20, 1, 0x41, 0x00, info.data(), info.size());
  const auto out = feed_all(p, big + "~20014041E00201FD3C\r");
  EXPECT_EQ(out.errors, std::vector<klx::FrameError>{klx::FrameError::kOversize});
  EXPECT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(p.counters().oversize, 1u);
}

TEST(FrameParser, SkipsTheEchoOfOurCommandOnce) {
  const std::string cmd = "~20014041E00201FD3C\r";
  const uint8_t info[] = {0x00, 0x01};
  const std::string answer = klx::encode_frame(0x20, 1, 0x40, 0x00, info, sizeof info);
  klx::FrameParser p;
  p.expect_address(1);
  p.expect_echo(cmd);
  auto out = feed_all(p, cmd + answer, 3);
  ASSERT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(out.frames[0].cid2, 0x00);
  EXPECT_EQ(p.counters().echo_skipped, 1u);
  // Only once: the same frame again is handed over as a frame.
  out = feed_all(p, cmd);
  EXPECT_EQ(out.frames.size(), 1u);
}

TEST(FrameParser, HandsOverNonZeroReturnCodes) {
  klx::FrameParser p;
  const auto out = feed_all(p, klx::encode_frame(0x20, 1, 0x40, 0x04, nullptr, 0));
  ASSERT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(out.frames[0].cid2, 0x04);
}

TEST(FrameParser, EncoderAndParserRoundTripEveryInfoLength) {
  klx::FrameParser p;
  for (size_t n = 0; n <= 300; n += 7) {
    std::vector<uint8_t> info(n);
    for (size_t i = 0; i < n; ++i) info[i] = static_cast<uint8_t>(i * 37 + n);
    const auto out = feed_all(p, klx::encode_frame(0x20, 9, 0x42, 0x00, info.data(), n), 5);
    ASSERT_EQ(out.frames.size(), 1u) << n;
    EXPECT_EQ(out.frames[0].info, info);
  }
}

}  // namespace
