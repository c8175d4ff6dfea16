#include "sim/simulator.h"

#include <ctime>

#include "klx/hex.h"
#include "sim/answers.h"
#include "sim/bus.h"
#include "sim/control.h"
#include "sim/identity.h"

namespace sim {
namespace {

// The identification commands: protocol version, address, manufacturer information.
constexpr uint8_t kGetVersion = 0x4F;
constexpr uint8_t kGetAddress = 0x50;
constexpr uint8_t kGetMaker = 0x51;

int hex_pair(const std::vector<uint8_t>& raw, size_t at) {
  if (at + 1 >= raw.size()) return -1;
  const int hi = klx::hex_digit(static_cast<char>(raw[at]));
  const int lo = klx::hex_digit(static_cast<char>(raw[at + 1]));
  return hi < 0 || lo < 0 ? -1 : hi << 4 | lo;
}

// The SOI-to-EOI pieces of what the host wrote; a frame begun again by a new SOI is dropped.
std::vector<std::vector<uint8_t>> whole_frames(const std::vector<uint8_t>& written) {
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> cur;
  bool in_frame = false;
  for (uint8_t b : written) {
    if (b == klx::kFrameSoi) cur.clear(), in_frame = true;
    if (!in_frame) continue;
    cur.push_back(b);
    if (b == klx::kFrameEoi) out.push_back(cur), in_frame = false;
  }
  return out;
}

Bytes without_flag(Bytes info) {
  if (!info.empty()) info.erase(info.begin());
  return info;
}

uint8_t rtn_for(klx::FrameError e) {
  switch (e) {
    case klx::FrameError::kBadChksum:
      return kRtnChecksum;
    case klx::FrameError::kBadLchksum:
      return kRtnLengthChecksum;
    default:
      return kRtnFormat;
  }
}

}  // namespace

double system_seconds() { return static_cast<double>(std::time(nullptr)); }

Simulator::Simulator(Model model, uint8_t address, Clock clock)
    : model_(std::move(model)),
      address_(address),
      clock_(std::move(clock)),
      timeline_(model_.events),
      noise_(model_.noise),
      faults_(model_.faults, model_.seed) {
  read_ac_alarms_ = without_flag(info_40_44(model_));
  read_switches_ = without_flag(info_40_43(model_));
  read_rc_alarms_ = without_flag(info_41_44(model_));
  read_dc_alarms_ = without_flag(info_42_44(model_));
}

double Simulator::elapsed() const { return started_ ? clock_() - start_ : 0.0; }

void Simulator::advance() {
  timeline_.advance(model_, elapsed());
  noise_.apply(model_, elapsed());
}

std::vector<klx::TimedChunk> Simulator::respond(const std::vector<uint8_t>& written) {
  if (!started_) start_ = clock_(), started_ = true;
  advance();
  std::vector<klx::TimedChunk> out;
  for (const auto& raw : whole_frames(written)) {
    std::vector<klx::TimedChunk> answer;
    parser_.reset();
    parser_.feed(raw.data(), raw.size(), [&](const klx::Frame* f, klx::FrameError e) {
      answer = f ? answer_frame(*f) : answer_damaged(raw, e);
    });
    out.insert(out.end(), answer.begin(), answer.end());
  }
  return out;
}

std::vector<klx::TimedChunk> Simulator::answer_frame(const klx::Frame& f) {
  if (f.adr != address_) return {};
  Answer a{model_.version, address_, f.cid1, f.cid2, kRtnVersion, {}};
  // The protocol version is asked of a device whose version the master does not know yet: it
  // is answered whatever VER the command carries, with the device's own in the header.
  if (f.ver == model_.version || f.cid2 == kGetVersion) a.rtn = execute(f, a.info);
  return faults_.deliver(a, elapsed());
}

// A damaged command still says whom it is for when its ADR characters survived; that device
// answers with the error's RTN, as the protocol asks.
std::vector<klx::TimedChunk> Simulator::answer_damaged(const std::vector<uint8_t>& raw,
                                                       klx::FrameError e) {
  if (hex_pair(raw, 3) != address_) return {};
  const int cid1 = hex_pair(raw, 5), cid2 = hex_pair(raw, 7);
  Answer a{model_.version,
           address_,
           static_cast<uint8_t>(cid1 < 0 ? 0 : cid1),
           static_cast<uint8_t>(cid2 < 0 ? 0 : cid2),
           rtn_for(e),
           {}};
  return faults_.deliver(a, elapsed());
}

uint8_t Simulator::execute(const klx::Frame& f, Bytes& info) {
  raise_change_flags();
  const bool poll = f.cid2 == 0x41 || f.cid2 == 0x43 || f.cid2 == 0x44;
  if (poll) return poll_answer(f.cid1, f.cid2, f.info.size(), info);
  if ((f.cid1 == 0x40 && !model_.ac.present) || (f.cid1 == 0x42 && !model_.dc.present))
    return kRtnUnknownCommand;
  if (f.cid1 < 0x40 || f.cid1 > 0x42) return kRtnUnknownCommand;
  if (f.cid2 == kGetVersion || f.cid2 == kGetAddress) return kRtnOk;
  if (f.cid2 == kGetMaker) return info = info_51(model_), kRtnOk;
  return is_control_command(f.cid2) ? apply_control(model_, f.cid1, f.cid2, f.info)
                                    : kRtnUnknownCommand;
}

// A data byte where the firmware expects none (or none where it expects one) is a format error,
// which is how a wrong "no_40_arg" / "no_42_arg" setting shows on a real line.
uint8_t Simulator::poll_answer(uint8_t cid1, uint8_t cid2, size_t data_len, Bytes& info) {
  const Quirks& q = model_.quirks;
  if (data_len > 1) return kRtnFormat;
  if (cid1 == 0x40 && model_.ac.present) {
    if (cid2 == 0x41 && data_len != (q.no_40_arg ? 0u : 1u)) return kRtnFormat;
    if (cid2 == 0x41) info = info_40_41(model_);
    if (cid2 == 0x43) {
      info = info_40_43(model_);
      read_switches_ = without_flag(info);
      model_.ac.pending_flags &= ~0x10;
    }
    if (cid2 == 0x44) {
      info = info_40_44(model_);
      read_ac_alarms_ = without_flag(info);
      model_.ac.pending_flags &= ~0x01;
    }
    return kRtnOk;
  }
  if (cid1 == 0x41) {
    if (cid2 == 0x41) info = info_41_41(model_);
    if (cid2 == 0x43) info = info_41_43(model_);
    if (cid2 == 0x44) {
      info = info_41_44(model_);
      read_rc_alarms_ = without_flag(info);
      model_.rectifiers.pending_flags &= ~0x01;
    }
    return kRtnOk;
  }
  if (cid1 == 0x42 && model_.dc.present && cid2 != 0x43) {
    if (data_len != (q.no_42_arg ? 0u : 1u)) return kRtnFormat;
    if (cid2 == 0x41) info = info_42_41(model_);
    if (cid2 == 0x44) {
      info = info_42_44(model_);
      read_dc_alarms_ = without_flag(info);
      model_.dc.pending_flags &= ~0x01;
    }
    return kRtnOk;
  }
  return kRtnUnknownCommand;
}

void Simulator::raise_change_flags() {
  if (without_flag(info_40_44(model_)) != read_ac_alarms_) model_.ac.pending_flags |= 0x01;
  if (without_flag(info_40_43(model_)) != read_switches_) model_.ac.pending_flags |= 0x10;
  if (without_flag(info_41_44(model_)) != read_rc_alarms_) model_.rectifiers.pending_flags |= 0x01;
  if (without_flag(info_42_44(model_)) != read_dc_alarms_) model_.dc.pending_flags |= 0x01;
}

std::unique_ptr<klx::Peer> make_simulator(const std::string& model_path, uint8_t address) {
  if (!model_path.empty()) return make_line(load_line_file(model_path, address));
  return std::make_unique<Simulator>(default_model(), address);
}

}  // namespace sim
