#include "klx/frame.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "klx/hex.h"

namespace klx {
namespace {

// The value of each byte as a hex digit, upper or lower case; kNotHex for every other byte.
constexpr uint8_t kNotHex = 0x80;
constexpr std::array<uint8_t, 256> hex_table() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const int v = hex_digit(static_cast<char>(c));
    t[c] = v < 0 ? kNotHex : static_cast<uint8_t>(v);
  }
  return t;
}
constexpr std::array<uint8_t, 256> kHex = hex_table();

// Decodes `pairs` pairs of hex characters to bytes and adds the characters to `sum`. Returns the
// table values of all the characters or'ed together: kNotHex is set if one was not a digit.
unsigned decode_pairs(const uint8_t* s, size_t pairs, uint8_t* out, unsigned& sum) {
  unsigned bad = 0;
  unsigned total = 0;
  for (const uint8_t* const end = s + 2 * pairs; s != end; s += 2) {
    const unsigned a = s[0];
    const unsigned b = s[1];
    const unsigned hi = kHex[a];
    const unsigned lo = kHex[b];
    bad |= hi | lo;
    total += a + b;
    *out++ = static_cast<uint8_t>(hi << 4 | lo);
  }
  sum += total;
  return bad;
}

}  // namespace

uint8_t frame_lchksum(uint16_t lenid) {
  const unsigned sum = (lenid & 0x0F) + ((lenid >> 4) & 0x0F) + ((lenid >> 8) & 0x0F);
  return static_cast<uint8_t>((~sum + 1) & 0x0F);
}

uint16_t frame_chksum(const char* chars, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<unsigned char>(chars[i]);
  return static_cast<uint16_t>(~sum + 1);
}

std::string encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2, const uint8_t* info,
                         size_t n) {
  std::string out;
  encode_frame_into(out, ver, adr, cid1, cid2, info, n);
  return out;
}

void encode_frame_into(std::string& out, uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
                       const uint8_t* info, size_t n) {
  if (n > kFrameMaxInfoBytes) throw std::length_error("frame info longer than LENID allows");
  const auto lenid = static_cast<uint16_t>(n * 2);
  const auto length = static_cast<uint16_t>((frame_lchksum(lenid) << 12) | lenid);
  // Sized once and written in place; the characters are summed as they are written.
  out.resize(1 + kFrameHeaderChars + n * 2 + kFrameChecksumChars + 1);
  char* at = &out[0];
  unsigned sum = 0;
  const auto put = [&](uint8_t b) {
    at[1] = hex_char(b >> 4, true);
    at[2] = hex_char(b, true);
    sum += static_cast<unsigned char>(at[1]) + static_cast<unsigned char>(at[2]);
    at += 2;
  };
  *at = static_cast<char>(kFrameSoi);
  for (uint8_t b : {ver, adr, cid1, cid2, static_cast<uint8_t>(length >> 8),
                    static_cast<uint8_t>(length & 0xFF)})
    put(b);
  for (size_t i = 0; i < n; ++i) put(info[i]);
  const auto chksum = static_cast<uint16_t>(~sum + 1);
  put(static_cast<uint8_t>(chksum >> 8));
  put(static_cast<uint8_t>(chksum & 0xFF));
  at[1] = static_cast<char>(kFrameEoi);
}

const char* frame_error_name(FrameError e) {
  switch (e) {
    case FrameError::kNone:
      return "none";
    case FrameError::kBadHex:
      return "bad hex";
    case FrameError::kBadLchksum:
      return "bad LCHKSUM";
    case FrameError::kLenidMismatch:
      return "LENID mismatch";
    case FrameError::kBadChksum:
      return "bad CHKSUM";
    case FrameError::kWrongAddress:
      return "wrong address";
    case FrameError::kOversize:
      return "oversize";
  }
  return "unknown";
}

FrameParser::FrameParser(size_t max_info_bytes)
    : max_info_bytes_(max_info_bytes < kFrameMaxInfoBytes ? max_info_bytes : kFrameMaxInfoBytes) {
  frame_.info.reserve(max_info_bytes_);
}

void FrameParser::expect_echo(const std::string& frame) {
  if (frame.size() >= 2 && static_cast<uint8_t>(frame.front()) == kFrameSoi &&
      static_cast<uint8_t>(frame.back()) == kFrameEoi)
    echo_.assign(frame, 1, frame.size() - 2);  // reuses the buffer of the last command
  else
    echo_.clear();
  // A frame already begun was on the line before this command: it is not its echo.
  echo_so_far_ = false;
}

void FrameParser::reset() {
  state_ = State::kHunt;
  got_ = 0;
}

void FrameParser::begin_frame() {
  state_ = State::kHeader;
  got_ = 0;
  sum_ = 0;
  chksum_ = 0;
  echo_so_far_ = !echo_.empty();
}

// Noise is skipped up to the next SOI at once; the characters of a frame go in runs up to the end
// of its header or body, and whatever ends a run early (SOI, EOI, any other byte) is looked at on
// its own.
void FrameParser::feed(const uint8_t* bytes, size_t n, const Sink& sink) {
  const uint8_t* p = bytes;
  const uint8_t* const end = bytes + n;
  while (p < end) {
    const auto left = static_cast<size_t>(end - p);
    if (state_ == State::kHunt) {
      const auto* soi = static_cast<const uint8_t*>(std::memchr(p, kFrameSoi, left));
      counters_.noise_bytes += static_cast<uint64_t>((soi ? soi : end) - p);
      if (!soi) return;
      p = soi + 1;
      begin_frame();
      continue;
    }
    if (state_ == State::kEoi) {
      on_other(*p++, sink);
      continue;
    }
    const size_t wanted = kFrameHeaderChars + (state_ == State::kBody ? body_chars_ : 0) - got_;
    const size_t run = wanted < left ? wanted : left;
    const size_t took = take_hex(p, run);
    p += took;
    if (took < run) {
      on_other(*p++, sink);
    } else if (state_ == State::kHeader && got_ == kFrameHeaderChars) {
      on_header_complete(sink);
    } else if (state_ == State::kBody && got_ == kFrameHeaderChars + body_chars_) {
      state_ = State::kEoi;
    }
  }
}

std::vector<Frame> FrameParser::feed(const uint8_t* bytes, size_t n) {
  std::vector<Frame> out;
  feed(bytes, n, [&out](const Frame* f, FrameError) {
    if (f) out.push_back(*f);
  });
  return out;
}

// Takes the longest run of hex digits from the start of s[0, k): all of it, or up to the first
// character that is not one. Returns how many were taken.
size_t FrameParser::take_hex(const uint8_t* s, size_t k) {
  const auto take = [&](size_t m) {
    return state_ == State::kHeader ? take_header(s, m) : take_body(s, m);
  };
  size_t taken = k;
  if (!take(k)) {
    taken = 0;
    while (kHex[s[taken]] != kNotHex) ++taken;
    take(taken);  // all hex digits: cannot fail
  }
  if (echo_so_far_)
    echo_so_far_ = got_ <= echo_.size() && std::memcmp(echo_.data() + got_ - taken, s, taken) == 0;
  return taken;
}

bool FrameParser::take_header(const uint8_t* s, size_t k) {
  unsigned bad = 0;
  unsigned sum = sum_;
  uint8_t half = half_;
  uint8_t head[sizeof head_];
  std::memcpy(head, head_, sizeof head);
  for (size_t i = 0; i < k; ++i) {
    const uint8_t v = kHex[s[i]];
    bad |= v;
    sum += s[i];
    const size_t at = got_ + i;
    if (at % 2 == 0)
      half = v;
    else
      head[at / 2] = static_cast<uint8_t>(half << 4 | v);
  }
  if (bad & kNotHex) return false;
  sum_ = sum;
  half_ = half;
  std::memcpy(head_, head, sizeof head);
  got_ += k;
  return true;
}

// INFO is summed and decoded two characters to a byte straight into the frame; a byte split
// between two runs is finished from the nibble kept. CHKSUM is decoded, not summed.
bool FrameParser::take_body(const uint8_t* s, size_t k) {
  const size_t lenid = body_chars_ - kFrameChecksumChars;
  const size_t at = got_ - kFrameHeaderChars;
  const size_t in_info = at < lenid ? std::min(k, lenid - at) : 0;
  uint8_t* const info = frame_.info.data();
  unsigned bad = 0;
  unsigned sum = 0;
  uint8_t half = half_;
  size_t i = 0;
  if (in_info > 0 && at % 2 == 1) {
    const uint8_t v = kHex[s[0]];
    bad |= v;
    sum += s[0];
    info[at / 2] = static_cast<uint8_t>(half << 4 | v);
    i = 1;
  }
  if (i + 1 < in_info) {
    const size_t pairs = (in_info - i) / 2;
    bad |= decode_pairs(s + i, pairs, info + (at + i) / 2, sum);
    i += 2 * pairs;
  }
  if (i < in_info) {
    half = kHex[s[i]];
    bad |= half;
    sum += s[i];
    ++i;
  }
  unsigned chksum = chksum_;
  for (; i < k; ++i) {
    const uint8_t v = kHex[s[i]];
    bad |= v;
    chksum = chksum << 4 | v;
  }
  if (bad & kNotHex) return false;
  sum_ += sum;
  half_ = half;
  chksum_ = chksum;
  got_ += k;
  return true;
}

// A byte that ended a run, or any byte after the last character LENID announced.
void FrameParser::on_other(uint8_t c, const Sink& sink) {
  if (c == kFrameSoi) {
    // A new SOI always starts a frame: the one in progress was cut off.
    ++counters_.cut_off;
    return begin_frame();
  }
  if (c == kFrameEoi) {
    if (state_ == State::kEoi) return on_frame_complete(sink);
    return reject(FrameError::kLenidMismatch, sink);  // fewer characters than LENID announced
  }
  if (kHex[c] == kNotHex) return reject(FrameError::kBadHex, sink);
  reject(FrameError::kLenidMismatch, sink);  // more characters than LENID announced
}

void FrameParser::on_header_complete(const Sink& sink) {
  const unsigned length = unsigned(head_[4]) << 8 | head_[5];
  const auto lenid = static_cast<uint16_t>(length & 0x0FFF);
  if ((length >> 12) != frame_lchksum(lenid)) return reject(FrameError::kBadLchksum, sink);
  if (lenid / 2 > max_info_bytes_) return reject(FrameError::kOversize, sink);
  body_chars_ = lenid + kFrameChecksumChars;
  frame_.info.resize(lenid / 2);
  state_ = State::kBody;
}

void FrameParser::on_frame_complete(const Sink& sink) {
  if (static_cast<uint16_t>(chksum_) != static_cast<uint16_t>(~sum_ + 1))
    return reject(FrameError::kBadChksum, sink);
  const auto lenid = static_cast<uint16_t>(body_chars_ - kFrameChecksumChars);
  // An odd LENID has no whole number of info bytes.
  if (lenid % 2) return reject(FrameError::kLenidMismatch, sink);
  if (echo_so_far_ && got_ == echo_.size()) {
    ++counters_.echo_skipped;
    echo_.clear();
    return reset();
  }
  frame_.ver = head_[0];
  frame_.adr = head_[1];
  frame_.cid1 = head_[2];
  frame_.cid2 = head_[3];
  frame_.lenid = lenid;
  if (address_ >= 0 && frame_.adr != address_) return reject(FrameError::kWrongAddress, sink);
  ++counters_.frames;
  reset();
  sink(&frame_, FrameError::kNone);
}

void FrameParser::reject(FrameError e, const Sink& sink) {
  switch (e) {
    case FrameError::kNone:
      break;
    case FrameError::kBadHex:
      ++counters_.bad_hex;
      break;
    case FrameError::kBadLchksum:
      ++counters_.bad_lchksum;
      break;
    case FrameError::kLenidMismatch:
      ++counters_.lenid_mismatch;
      break;
    case FrameError::kBadChksum:
      ++counters_.bad_chksum;
      break;
    case FrameError::kWrongAddress:
      ++counters_.wrong_address;
      break;
    case FrameError::kOversize:
      ++counters_.oversize;
      break;
  }
  reset();
  sink(nullptr, e);
}

}  // namespace klx
