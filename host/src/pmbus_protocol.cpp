#include "klx/pmbus_protocol.h"

#include <algorithm>

#include "klx/events.h"
#include "klx/frame.h"
#include "klx/link.h"

namespace {
// Zero bytes kept after the info of every answer, so that a device peeking at the first info
// bytes of a short answer reads zeros instead of running off the buffer.
constexpr size_t kRxSlack = 8;
// VER, ADR, CID1, RTN, LENID before the info.
constexpr size_t kRxHead = 6;
// Bytes taken from the line per read.
constexpr size_t kReadChunk = 512;
}  // namespace

struct PMBusProtocol::Exchange {
  klx::FrameParser parser;
  std::vector<unsigned char> rx;
  std::string frame;  // the last command frame; its buffer serves every command
  klx::ProtocolCounters counters;
  int group = -1;          // CID1 of the last command written
  int command = -1;        // CID2 of the last command written
  bool announced = false;  // the answer's header was in and its deadline set

  // Without a link (a device driven by hand) every frame is taken as the awaited answer.
  static bool awaiting(PMBusProtocol& dev) { return !dev.link() || dev.link()->awaiting(); }

  int on_frame(PMBusProtocol& dev, const klx::Frame* f, klx::FrameError error) {
    if (!awaiting(dev)) {
      ++counters.unsolicited;
      return 0;
    }
    // Another device on the same line (a late answer, say): not ours, and ours may follow.
    if (error == klx::FrameError::kWrongAddress) return 0;
    if (!f) {
      ++counters.bad_frames;
      if (dev.link()) dev.link()->end_failed();
      if (dev.events()) dev.events()->on_exchange(dev, group, command, nullptr);
      return dev.process_error();
    }
    // An answer repeats its command's group. One of another group is a late answer to an
    // earlier command and must not be decoded as this one's; the awaited answer may follow.
    if (group >= 0 && f->cid1 != group) {
      ++counters.wrong_group;
      return 0;
    }
    if (dev.events()) dev.events()->on_exchange(dev, group, command, f);
    if (f->cid2 != 0) {
      ++counters.rtn_errors;
      counters.last_rtn = f->cid2;
      ++counters.rtn_by_code[f->cid2 < 8 ? f->cid2 : 0];
      counters.last_rtn_command = static_cast<uint16_t>((group & 0xFF) << 8 | (command & 0xFF));
      if (dev.link()) dev.link()->end_refused();
      return dev.process_error();
    }
    lay_answer(dev, *f);
    if (dev.link()) dev.link()->end_exchange();
    ++counters.answers;
    return dev.process_payload();
  }

  Exchange() { rx.reserve(kRxHead + klx::kFrameMaxInfoBytes + kRxSlack); }

  // rx_buf_: VER, ADR, CID1, RTN, LENID little-endian (characters, LCHKSUM removed), info. The
  // info is copied once, into room reserved for the longest answer.
  void lay_answer(PMBusProtocol& dev, const klx::Frame& f) {
    const size_t n = f.info.size();
    rx.resize(kRxHead + n + kRxSlack);
    rx[0] = f.ver;
    rx[1] = f.adr;
    rx[2] = f.cid1;
    rx[3] = f.cid2;
    rx[4] = static_cast<unsigned char>(f.lenid & 0xFF);
    rx[5] = static_cast<unsigned char>(f.lenid >> 8);
    std::copy(f.info.begin(), f.info.end(), rx.begin() + kRxHead);
    std::fill(rx.begin() + kRxHead + static_cast<std::ptrdiff_t>(n), rx.end(), 0);
    dev.rx_buf_ = rx.data();
  }
};

PMBusProtocol::PMBusProtocol() : exchange_(new Exchange()) {}
PMBusProtocol::~PMBusProtocol() = default;

int PMBusProtocol::InitSetting(const Json::Value&) { return 1; }

int PMBusProtocol::process(unsigned char* bytes, unsigned int length) {
  if (!bytes || length == 0) return 0;
  exchange_->parser.expect_address(address_);
  int result = 0;
  // Two captured pointers fit the sink's own storage: no allocation per read.
  exchange_->parser.feed(bytes, length, [this, &result](const klx::Frame* f, klx::FrameError e) {
    result = exchange_->on_frame(*this, f, e);
  });
  track_frame();
  return result;
}

// Tells the line about the frame in progress: once its header announces the length, the
// deadline covers it; while it is incomplete, the inter-character time-out applies.
void PMBusProtocol::track_frame() {
  klx::Link* line = link();
  if (!line || !line->awaiting()) return;
  const size_t chars = exchange_->parser.expected_chars();
  if (chars == 0) exchange_->announced = false;
  if (chars > 0 && !exchange_->announced) {
    exchange_->announced = true;
    line->answer_announced(chars);
  }
  line->set_in_frame(exchange_->parser.state() != klx::FrameParser::State::kHunt);
}

// The exchange is over: a bad frame, a non-zero RTN, a time-out or a lost line. A partly
// received frame is dropped with it, so that its rest cannot be taken for the next answer.
int PMBusProtocol::process_error() {
  if (link() && link()->awaiting()) link()->end_failed();
  exchange_->parser.reset();
  return 0;
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
  return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                   const unsigned char* data, int length) {
  if (length < 0 || (length > 0 && !data)) return 0;
  if (static_cast<size_t>(length) > klx::kFrameMaxInfoBytes) return 0;
  exchange_->group = cid1;
  exchange_->command = cid2;
  exchange_->announced = false;
  if (events()) events()->on_command(*this, cid1, cid2, data, static_cast<size_t>(length));
  klx::Link* line = link();
  if (!line) return 1;  // a device driven by hand: the command is only shown to the sink
  std::string& frame = exchange_->frame;
  klx::encode_frame_into(frame, protocol_ver_, address_, cid1, cid2, data,
                         static_cast<size_t>(length));
  exchange_->parser.expect_address(address_);
  exchange_->parser.expect_echo(frame);
  if (!line->send(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), this)) return 0;
  ++exchange_->counters.commands;
  return 1;
}

long PMBusProtocol::service_input() {
  klx::Link* line = link();
  if (!line) return 0;
  unsigned char buf[kReadChunk];
  long total = 0;
  for (;;) {
    const long n = line->read(buf, sizeof buf);
    if (n < 0) {
      if (line->awaiting()) {
        ++exchange_->counters.bad_frames;
        line->end_failed();
        process_error();
      }
      return -1;
    }
    if (n == 0) break;
    total += n;
    process(buf, static_cast<unsigned int>(n));
    if (static_cast<size_t>(n) < sizeof buf) break;
  }
  return total;
}

bool PMBusProtocol::service_timeout() {
  klx::Link* line = link();
  if (!line || !line->timed_out(line->now())) return false;
  ++exchange_->counters.timeouts;
  line->note_timeout();
  line->end_failed();
  if (events()) events()->on_exchange(*this, exchange_->group, exchange_->command, nullptr);
  process_error();
  return true;
}

const klx::ProtocolCounters& PMBusProtocol::protocol_counters() const {
  return exchange_->counters;
}

const klx::FrameCounters& PMBusProtocol::frame_counters() const {
  return exchange_->parser.counters();
}
