#include "klx/frame.h"

#include <stdexcept>

#include "klx/hex.h"

namespace klx {
namespace {

void put_byte(std::string& out, uint8_t b) { append_hex(out, &b, 1, true); }

// Reads `digits` hex characters at `at`; the characters were checked on arrival.
unsigned read_hex(const std::string& s, size_t at, size_t digits) {
  unsigned v = 0;
  for (size_t i = 0; i < digits; ++i) v = (v << 4) | static_cast<unsigned>(hex_digit(s[at + i]));
  return v;
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
  out.clear();
  out.reserve(1 + kFrameHeaderChars + n * 2 + kFrameChecksumChars + 1);
  out += static_cast<char>(kFrameSoi);
  for (uint8_t b : {ver, adr, cid1, cid2, static_cast<uint8_t>(length >> 8),
                    static_cast<uint8_t>(length & 0xFF)})
    put_byte(out, b);
  for (size_t i = 0; i < n; ++i) put_byte(out, info[i]);
  const uint16_t sum = frame_chksum(out.data() + 1, out.size() - 1);
  put_byte(out, static_cast<uint8_t>(sum >> 8));
  put_byte(out, static_cast<uint8_t>(sum & 0xFF));
  out += static_cast<char>(kFrameEoi);
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
  chars_.reserve(kFrameHeaderChars + max_info_bytes_ * 2 + kFrameChecksumChars);
}

void FrameParser::expect_echo(const std::string& frame) {
  if (frame.size() >= 2 && static_cast<uint8_t>(frame.front()) == kFrameSoi &&
      static_cast<uint8_t>(frame.back()) == kFrameEoi)
    echo_.assign(frame, 1, frame.size() - 2);  // reuses the buffer of the last command
  else
    echo_.clear();
}

void FrameParser::reset() {
  state_ = State::kHunt;
  chars_.clear();
}

void FrameParser::feed(const uint8_t* bytes, size_t n, const Sink& sink) {
  for (size_t i = 0; i < n; ++i) step(bytes[i], sink);
}

std::vector<Frame> FrameParser::feed(const uint8_t* bytes, size_t n) {
  std::vector<Frame> out;
  feed(bytes, n, [&out](const Frame* f, FrameError) {
    if (f) out.push_back(*f);
  });
  return out;
}

void FrameParser::step(uint8_t c, const Sink& sink) {
  if (c == kFrameSoi) {
    // A new SOI always starts a frame: the one in progress was cut off.
    if (state_ != State::kHunt) ++counters_.cut_off;
    chars_.clear();
    state_ = State::kHeader;
    return;
  }
  if (state_ == State::kHunt) {
    ++counters_.noise_bytes;
    return;
  }
  if (c == kFrameEoi) {
    if (state_ == State::kEoi) return on_frame_complete(sink);
    return reject(FrameError::kLenidMismatch, sink);  // fewer characters than LENID announced
  }
  if (hex_digit(static_cast<char>(c)) < 0) return reject(FrameError::kBadHex, sink);
  if (state_ == State::kEoi) return reject(FrameError::kLenidMismatch, sink);  // more than LENID
  chars_ += static_cast<char>(c);
  if (state_ == State::kHeader && chars_.size() == kFrameHeaderChars)
    return on_header_complete(sink);
  if (state_ == State::kBody && chars_.size() == kFrameHeaderChars + body_chars_)
    state_ = State::kEoi;
}

void FrameParser::on_header_complete(const Sink& sink) {
  const unsigned length = read_hex(chars_, 8, 4);
  const auto lenid = static_cast<uint16_t>(length & 0x0FFF);
  if ((length >> 12) != frame_lchksum(lenid)) return reject(FrameError::kBadLchksum, sink);
  if (lenid / 2 > max_info_bytes_) return reject(FrameError::kOversize, sink);
  body_chars_ = lenid + kFrameChecksumChars;
  state_ = State::kBody;
}

void FrameParser::on_frame_complete(const Sink& sink) {
  const size_t sum_at = chars_.size() - kFrameChecksumChars;
  if (read_hex(chars_, sum_at, 4) != frame_chksum(chars_.data(), sum_at))
    return reject(FrameError::kBadChksum, sink);
  if (!decode_into(frame_)) return reject(FrameError::kLenidMismatch, sink);
  if (!echo_.empty() && chars_ == echo_) {
    ++counters_.echo_skipped;
    echo_.clear();
    return reset();
  }
  if (address_ >= 0 && frame_.adr != address_) return reject(FrameError::kWrongAddress, sink);
  ++counters_.frames;
  reset();
  sink(&frame_, FrameError::kNone);
}

// Fills the frame from the checked characters; an odd LENID has no whole number of info bytes.
bool FrameParser::decode_into(Frame& f) const {
  const auto lenid = static_cast<uint16_t>(read_hex(chars_, 8, 4) & 0x0FFF);
  if (lenid % 2) return false;
  f.ver = static_cast<uint8_t>(read_hex(chars_, 0, 2));
  f.adr = static_cast<uint8_t>(read_hex(chars_, 2, 2));
  f.cid1 = static_cast<uint8_t>(read_hex(chars_, 4, 2));
  f.cid2 = static_cast<uint8_t>(read_hex(chars_, 6, 2));
  f.lenid = lenid;
  f.info.resize(lenid / 2);
  for (size_t i = 0; i < f.info.size(); ++i)
    f.info[i] = static_cast<uint8_t>(read_hex(chars_, kFrameHeaderChars + 2 * i, 2));
  return true;
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
