#include "sim/faults.h"

#include <algorithm>

#include "klx/frame.h"
#include "klx/hex.h"

namespace sim {
namespace {

// Another hex digit than `c` (a digit in any case for a character that is none).
char other_digit(char c) {
  return klx::hex_char(static_cast<unsigned>(std::max(klx::hex_digit(c), 0) + 1), true);
}

const size_t kMinFrame = 1 + klx::kFrameHeaderChars + klx::kFrameChecksumChars + 1;
const size_t kLchksumAt = 9;  // SOI, VER, ADR, CID1, CID2, then LENGTH's first character

const Bytes kDefaultNoise = {0x00, 0xFF, 0x55, 0xAA, 0x0A};
const Bytes kDefaultInside = {0x00, 'G'};  // not hex: the frame cannot pass as good

bool in_window(const FaultRule& r, double t) { return t >= r.from && (r.to < 0 || t < r.to); }

}  // namespace

std::string with_bad_chksum(std::string frame) {
  if (frame.size() < kMinFrame) return frame;
  char& last = frame[frame.size() - 2];
  last = other_digit(last);
  return frame;
}

// LCHKSUM wrong while CHKSUM is right for the changed characters, so only the length check can
// catch it.
std::string with_bad_lchksum(std::string frame) {
  if (frame.size() < kMinFrame) return frame;
  frame[kLchksumAt] = other_digit(frame[kLchksumAt]);
  const size_t summed = frame.size() - 1 - klx::kFrameChecksumChars - 1;
  const uint16_t sum = klx::frame_chksum(frame.data() + 1, summed);
  for (int i = 0; i < 4; ++i) frame[1 + summed + i] = klx::hex_char(sum >> (12 - 4 * i), true);
  return frame;
}

std::string with_bytes_inside(std::string frame, const Bytes& garbage) {
  frame.insert(frame.size() / 2, std::string(garbage.begin(), garbage.end()));
  return frame;
}

std::vector<klx::TimedChunk> split_chunks(const std::string& bytes, int chunks, uint32_t pause_ms) {
  std::vector<klx::TimedChunk> out;
  const size_t n = std::max<size_t>(1, std::min<size_t>(std::max(chunks, 1), bytes.size()));
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t end = bytes.size() * (i + 1) / n;
    klx::TimedChunk c;
    c.delay_ms = i == 0 ? 0 : pause_ms;
    c.bytes.assign(bytes.begin() + at, bytes.begin() + end);
    out.push_back(std::move(c));
    at = end;
  }
  return out;
}

FaultInjector::FaultInjector(std::vector<FaultRule> rules, uint32_t seed)
    : rules_(std::move(rules)), fired_(rules_.size(), 0), rng_(seed) {}

bool FaultInjector::fires(size_t i, const Answer& a, double t) {
  const FaultRule& r = rules_[i];
  if (!in_window(r, t)) return false;
  if (r.cid1 >= 0 && r.cid1 != a.cid1) return false;
  if (r.cid2 >= 0 && r.cid2 != a.cmd) return false;
  if (r.count >= 0 && fired_[i] >= static_cast<uint64_t>(r.count)) return false;
  if (r.probability < 1.0) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(rng_) >= r.probability) return false;
  }
  ++fired_[i];
  return true;
}

std::vector<klx::TimedChunk> FaultInjector::deliver(const Answer& answer, double t) {
  std::vector<const FaultRule*> active;
  for (size_t i = 0; i < rules_.size(); ++i)
    if (fires(i, answer, t)) active.push_back(&rules_[i]);

  Answer a = answer;
  for (const FaultRule* r : active) {
    if (r->kind == FaultRule::Kind::NoAnswer) return {};
    if (r->kind == FaultRule::Kind::Rtn) a.rtn = r->rtn, a.info.clear();
    if (r->kind == FaultRule::Kind::WrongAddress)
      a.adr = r->address >= 0 ? static_cast<uint8_t>(r->address)
                              : static_cast<uint8_t>(answer.adr % 254 + 1);
  }
  std::string line = klx::encode_frame(a.ver, a.adr, a.cid1, a.rtn, a.info.data(), a.info.size());
  uint32_t delay = 0;
  int chunks = 1;
  uint32_t pause = 0;
  for (const FaultRule* r : active) {
    switch (r->kind) {
      case FaultRule::Kind::BadChecksum:
        line = with_bad_chksum(line);
        break;
      case FaultRule::Kind::BadLengthChecksum:
        line = with_bad_lchksum(line);
        break;
      case FaultRule::Kind::GarbageInside:
        line = with_bytes_inside(line, r->garbage.empty() ? kDefaultInside : r->garbage);
        break;
      case FaultRule::Kind::Truncated: {
        const size_t keep = r->keep >= 0 ? static_cast<size_t>(r->keep) : line.size() / 2;
        line.resize(std::min(keep, line.size() - 1));  // never the EOI
        break;
      }
      case FaultRule::Kind::Garbage: {
        const Bytes& g = r->garbage.empty() ? kDefaultNoise : r->garbage;
        line.insert(0, std::string(g.begin(), g.end()));
        break;
      }
      case FaultRule::Kind::Slow:
        delay += r->delay_ms;
        break;
      case FaultRule::Kind::Split:
        chunks = r->chunks, pause = r->pause_ms;
        break;
      default:
        break;
    }
  }
  if (line.empty()) return {};
  auto out = split_chunks(line, chunks, pause);
  out.front().delay_ms += delay;
  return out;
}

}  // namespace sim
