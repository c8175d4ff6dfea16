// The protocol layer between a line and a device: commands out as frames, answers in through the
// streaming parser, rx_buf_ as the device reads it, and the ways an exchange ends.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "klx/frame.h"
#include "klx/link.h"
#include "klx/peer.h"
#include "klx/pmbus_protocol.h"
#include "klx/poll_loop.h"
#include "support/hex.h"

namespace {

// A line whose answers the test queues: each written frame takes the next queued answer.
struct ScriptPeer : klx::Peer {
  std::vector<std::string>* written;
  std::deque<std::vector<klx::TimedChunk>>* answers;
  std::vector<klx::TimedChunk> respond(const std::vector<uint8_t>& w) override {
    written->emplace_back(w.begin(), w.end());
    if (answers->empty()) return {};
    auto a = std::move(answers->front());
    answers->pop_front();
    return a;
  }
};

// The smallest device: it keeps what process_payload saw and counts process_error.
struct Probe : PMBusProtocol {
  std::vector<std::vector<uint8_t>> payloads;
  int errors = 0;
  int process_payload() override {
    const size_t lenid = rx_buf_[4] | rx_buf_[5] << 8;
    payloads.emplace_back(rx_buf_, rx_buf_ + 6 + lenid / 2);
    return 1;
  }
  int process_error() override {
    ++errors;
    return PMBusProtocol::process_error();
  }
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  void RoundDone() override {}
};

struct Line {
  std::vector<std::string> written;
  std::deque<std::vector<klx::TimedChunk>> answers;
  klx::Link link;
  Probe dev;

  Line() : link(make()) {
    link.open();
    dev.set_link(&link);
  }
  std::unique_ptr<klx::Transport> make() {
    auto p = std::make_unique<ScriptPeer>();
    p->written = &written;
    p->answers = &answers;
    return klx::make_peer_transport(std::move(p), "script");
  }
  void queue(const std::string& wire) {
    answers.push_back({{0, std::vector<uint8_t>(wire.begin(), wire.end())}});
  }
};

std::string answer(uint8_t cid1, uint8_t rtn, const std::string& info_hex, uint8_t adr = 1) {
  const auto info = hex::decode(info_hex);
  return klx::encode_frame(0x20, adr, cid1, rtn, info.data(), info.size());
}

TEST(Protocol, CommandsGoOutAsTheWorkedFrames) {
  Line l;
  l.dev.write_pmbus_cmd(0x41, 0x41);
  const uint8_t one = 0x01, ff = 0xFF;
  l.dev.write_pmbus_cmd(0x40, 0x41, &one, 1);
  l.dev.write_pmbus_cmd(0x42, 0x41, &ff, 1);
  const uint8_t dc[] = {0xDC, 0x00, 0x00, 0x56, 0x42};
  l.dev.write_pmbus_cmd(0x42, 0x48, dc, sizeof dc);
  EXPECT_EQ(l.written,
            (std::vector<std::string>{"~200141410000FDB3\r", "~20014041E00201FD3C\r",
                                      "~20014241E002FFFD0F\r", "~20014248600ADC00005642FB7C\r"}));
  EXPECT_EQ(l.dev.write_pmbus_cmd(0x40, 0x41, nullptr, 1), 0);  // data length without data
}

TEST(Protocol, AnswerIsLaidIntoRxBufAsTheDeviceReadsIt) {
  Line l;
  l.queue(answer(0x40, 0x00, "01 00 00 5c 43"));
  l.dev.write_pmbus_cmd(0x40, 0x41);
  EXPECT_TRUE(l.dev.IsProcessing());
  EXPECT_EQ(l.dev.RefreshStatus(), 0);
  EXPECT_GT(l.dev.service_input(), 0);
  ASSERT_EQ(l.dev.payloads.size(), 1u);
  EXPECT_EQ(hex::encode(l.dev.payloads[0]), "200140000a000100005c43");
  EXPECT_EQ(l.dev.RefreshStatus(), 1);  // the exchange is over
  EXPECT_EQ(l.dev.protocol_counters().answers, 1u);
}

TEST(Protocol, AnswerSplitAtEveryPositionReachesTheDeviceOnce) {
  const std::string wire = answer(0x42, 0x00, "11 01 00 00 56 42");
  for (size_t cut = 1; cut < wire.size(); ++cut) {
    Line l;
    l.dev.write_pmbus_cmd(0x42, 0x41);
    std::string a = wire.substr(0, cut), b = wire.substr(cut);
    l.dev.process(reinterpret_cast<unsigned char*>(&a[0]), a.size());
    EXPECT_TRUE(l.dev.payloads.empty());
    l.dev.process(reinterpret_cast<unsigned char*>(&b[0]), b.size());
    ASSERT_EQ(l.dev.payloads.size(), 1u) << cut;
    // VER ADR CID1 RTN, LENID 12 little-endian, six info bytes
    EXPECT_EQ(hex::encode(l.dev.payloads[0]), "200142000c00110100005642") << cut;
    EXPECT_EQ(l.dev.errors, 0);
  }
}

// Each row: what the line hands back, and whether the device gets a payload or an error.
TEST(Protocol, BadAnswersEndTheExchangeThroughProcessError) {
  struct Row {
    const char* name;
    std::string wire;
    int payloads;
    int errors;
  };
  const std::string good = answer(0x40, 0x00, "00");
  const std::vector<Row> rows = {
      {"good", good, 1, 0},
      {"echo, then the answer", "~20014041E00201FD3C\r" + good, 1, 0},
      {"noise, then the answer", "\xff\x00zz" + good, 1, 0},
      {"RTN 04", answer(0x40, 0x04, ""), 0, 1},
      {"bad CHKSUM", "~200140000000FDB5\r", 0, 1},
      {"bad LCHKSUM", "~20014000F00200FDB1\r", 0, 1},
      {"bad hex", "~2001400X0000FDB4\r", 0, 1},
      {"LENID mismatch", "~20004642F00100FD37\r", 0, 1},
  };
  for (const auto& r : rows) {
    Line l;
    l.queue(r.wire);
    const uint8_t one = 1;
    l.dev.write_pmbus_cmd(0x40, 0x41, &one, 1);
    l.dev.service_input();
    EXPECT_EQ(static_cast<int>(l.dev.payloads.size()), r.payloads) << r.name;
    EXPECT_EQ(l.dev.errors, r.errors) << r.name;
    EXPECT_FALSE(l.link.awaiting()) << r.name;
  }
}

// A late answer to an earlier command of another group (the line was slow, the command timed
// out) must not be decoded as the answer to the command now waiting.
// The same for an answer from another address on a shared line.
TEST(Protocol, AnswerOfAnotherGroupOrAddressIsDroppedAndTheAwaitedOneTaken) {
  Line l;
  l.queue(answer(0x40, 0x00, "01 02") + answer(0x41, 0x04, "") + answer(0x42, 0x00, "22", 0x25) +
          answer(0x42, 0x00, "11"));
  const uint8_t ff = 0xFF;
  l.dev.write_pmbus_cmd(0x42, 0x41, &ff, 1);
  l.dev.service_input();
  ASSERT_EQ(l.dev.payloads.size(), 1u);
  EXPECT_EQ(hex::encode(l.dev.payloads[0]), "20014200020011");
  EXPECT_EQ(l.dev.errors, 0);
  EXPECT_EQ(l.dev.protocol_counters().wrong_group, 2u);
  EXPECT_EQ(l.dev.frame_counters().wrong_address, 1u);
  EXPECT_EQ(l.dev.protocol_counters().answers, 1u);
  EXPECT_FALSE(l.link.awaiting());
}

TEST(Protocol, FrameWithNoExchangeWaitingIsDropped) {
  Line l;
  std::string wire = answer(0x40, 0x00, "00");
  l.dev.process(reinterpret_cast<unsigned char*>(&wire[0]), wire.size());
  EXPECT_TRUE(l.dev.payloads.empty());
  EXPECT_EQ(l.dev.errors, 0);
  EXPECT_EQ(l.dev.protocol_counters().unsolicited, 1u);
}

TEST(Protocol, TimeOutIsOneSecondPlusTheCommandsWireTime) {
  Line l;
  l.dev.write_pmbus_cmd(0x41, 0x41);  // 18 characters: 18.75 ms at 9600
  EXPECT_EQ(l.link.deadline() - l.link.last_write(),
            std::chrono::milliseconds(1000) + std::chrono::microseconds(18750));
  EXPECT_FALSE(l.dev.service_timeout());
  EXPECT_EQ(l.dev.errors, 0);
}

TEST(Protocol, ExpiredExchangeEndsThroughProcessErrorAndFreesTheLine) {
  Line l;
  l.link.set_answer_timeout(std::chrono::milliseconds(0));
  l.link.set_baud(1000000000);  // no wire time: the deadline is the moment of sending
  l.dev.write_pmbus_cmd(0x41, 0x41);
  EXPECT_TRUE(l.dev.IsStalled());
  EXPECT_TRUE(l.dev.service_timeout());
  EXPECT_EQ(l.dev.errors, 1);
  EXPECT_FALSE(l.link.awaiting());
  EXPECT_EQ(l.dev.protocol_counters().timeouts, 1u);
  EXPECT_EQ(l.dev.RefreshStatus(), 0) << "the line settles before the next command";
}

TEST(Protocol, ClosedPortRefusesRounds) {
  Line l;
  l.dev.ClosePort();
  EXPECT_EQ(l.dev.RefreshStatus(), 0);
  EXPECT_EQ(l.dev.write_pmbus_cmd(0x41, 0x41), 0);
  EXPECT_EQ(l.dev.OpenPort(), 1);
  EXPECT_EQ(l.dev.RefreshStatus(), 1);
}

// Line discipline at 9600 Bd, on time the test moves in 10 ms steps.
struct TimedLine : Line {
  klx::Link::Clock::time_point t0 = klx::Link::Clock::now(), t = t0;
  int sent = 0;
  TimedLine() { link.set_time(t); }
  // Runs the loop for `ms`: input, time-outs, and a new 41/41 command whenever the line takes one.
  void run(int ms, bool poll = true) {
    for (int i = 0; i < ms / 10; ++i) {
      t += std::chrono::milliseconds(10);
      link.set_time(t);
      dev.service_input();
      dev.service_timeout();
      if (poll && dev.RefreshStatus()) sent += dev.write_pmbus_cmd(0x41, 0x41);
    }
  }
};

// 1,390 characters take 1.45 s at 9600 Bd: the answer's deadline follows its announced LENID. A
// frame that stops half-way ends the exchange after the inter-character time-out (50 ms).
TEST(LineDiscipline, LongAnswerIsAwaitedAndAStalledOneEndsAtOnce) {
  const std::string info(1372, 'A');  // 686 bytes, 1,372 INFO characters: 1,390 in the frame
  const std::string wire = answer(0x41, 0x00, info);
  ASSERT_EQ(wire.size(), 1390u);
  const std::vector<uint8_t> bytes(wire.begin(), wire.end());
  const auto part = [&](size_t from, size_t to, uint32_t delay) {
    return klx::TimedChunk{delay, std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + to)};
  };
  for (const bool stall : {false, true}) {
    TimedLine l;
    std::vector<klx::TimedChunk> chunks = {part(0, 13, 100)};  // the header after 100 ms
    for (size_t at = 13; at < bytes.size(); at += 9) {
      if (stall && at > 600) break;
      chunks.push_back(part(at, std::min(at + 9, bytes.size()), 10));  // near the wire's pace
    }
    l.answers.push_back(chunks);
    l.dev.write_pmbus_cmd(0x41, 0x41);
    l.run(2500, false);
    EXPECT_EQ(l.dev.payloads.size(), stall ? 0u : 1u) << stall;
    EXPECT_EQ(l.dev.errors, stall ? 1 : 0) << stall;
    if (stall) {
      EXPECT_EQ(l.link.counters().stalls, 1u);
      EXPECT_EQ(l.link.counters().timeouts, 1u);
    }
  }
}

// An answer that comes after its time-out (same group, 300 ms late) falls into the quiet interval
// and is dropped; the next command goes out once the line is quiet and gets its own answer.
TEST(LineDiscipline, LateAnswerIsDroppedAndNeverTakenForTheNextCommand) {
  TimedLine l;
  const std::string late = answer(0x41, 0x00, "01");
  l.answers.push_back({{1320, std::vector<uint8_t>(late.begin(), late.end())}});
  l.queue(answer(0x41, 0x00, "02"));
  l.sent = l.dev.write_pmbus_cmd(0x41, 0x41);
  l.run(1100);
  EXPECT_EQ(l.sent, 1) << "a command went out before the line was quiet";
  l.run(1000);
  EXPECT_GE(l.sent, 2);
  ASSERT_EQ(l.dev.payloads.size(), 1u);
  EXPECT_EQ(hex::encode(l.dev.payloads[0]), "20014100020002");
  EXPECT_GT(l.link.counters().discarded, 0u);
}

// A device that answers every command with a bad frame: the commands are spaced 0.5, 1, 2, 2 ...
// seconds (the round interval), not sent at every tick; a good answer resets the spacing.
TEST(LineDiscipline, FailingDeviceBacksOffAndAGoodAnswerResetsIt) {
  TimedLine l;
  for (int i = 0; i < 100; ++i) l.queue("~200141000000FDB5\r");
  l.run(10000);
  EXPECT_GE(l.sent, 5);
  EXPECT_LE(l.sent, 8) << "the failing device is asked at every tick";
  l.answers.clear();
  l.queue(answer(0x41, 0x00, "01"));
  l.queue("~200141000000FDB5\r");
  l.queue("~200141000000FDB5\r");
  for (int i = 0; i < 300 && l.dev.payloads.empty(); ++i) l.run(10);
  const int before = l.sent;  // the command after the good answer went out at once
  l.run(600);
  EXPECT_EQ(l.sent, before + 1) << "after a good answer the spacing starts again at 0.5 s";
}

// A device that starts a 41/41 exchange whenever it is offered the line, `budget` times.
struct Poller : Probe {
  int budget = 1000;
  int RefreshStatus() override {
    if (budget <= 0 || !KLXSPDevice::RefreshStatus()) return 0;
    --budget;
    return write_pmbus_cmd(0x41, 0x41);
  }
};

// Two devices on one line driven by the poll loop. Address 1 answers its one command 1.8 s late,
// after its time-out and the quiet interval, while address 2's command of the same group waits:
// address 2 takes only its own answer.
TEST(SharedLine, LateAnswerFromOneAddressIsNeverTakenForAnothers) {
  std::vector<std::string> written;
  std::deque<std::vector<klx::TimedChunk>> answers;
  const auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  answers.push_back({{1800, bytes(answer(0x41, 0x00, "AA", 1))}});
  answers.push_back({{300, bytes(answer(0x41, 0x00, "BB", 2))}});
  auto peer = std::make_unique<ScriptPeer>();
  peer->written = &written;
  peer->answers = &answers;
  auto t = klx::Link::Clock::now();
  klx::PollLoop loop(t);
  loop.add_line(std::make_unique<klx::Link>(klx::make_peer_transport(std::move(peer), "bus")));
  Poller a, b;
  a.budget = b.budget = 1;
  b.address_ = 2;
  for (Poller* d : {&a, &b}) {
    d->set_link(&loop.line(0));
    d->OpenPort();
    loop.add_device(0, d);
  }
  for (int i = 0; i < 300; ++i) loop.pass(t += std::chrono::milliseconds(10));
  ASSERT_EQ(written.size(), 2u);
  EXPECT_TRUE(a.payloads.empty());
  EXPECT_EQ(a.protocol_counters().timeouts, 1u);
  ASSERT_EQ(b.payloads.size(), 1u);
  EXPECT_EQ(hex::encode(b.payloads[0]), "200241000200bb");
  EXPECT_EQ(b.frame_counters().wrong_address, 1u);
}

}  // namespace
