// The protocol layer writes every command from one kept buffer and keeps a copy of the last one
// for the echo filter: a short command after a long one must go out whole, without the long
// one's tail, and its echo must still be recognised.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "klx/frame.h"
#include "klx/link.h"
#include "klx/peer.h"
#include "klx/pmbus_protocol.h"
#include "support/hex.h"

namespace {

// An RS-485 adapter without echo suppression: every command comes back before its answer,
// which repeats the command's group.
struct EchoingPeer : klx::Peer {
  std::vector<std::string>* written;
  std::vector<klx::TimedChunk> respond(const std::vector<uint8_t>& w) override {
    written->emplace_back(w.begin(), w.end());
    const uint8_t group = hex::decode(written->back().substr(5, 2)).at(0);
    const auto info = hex::decode("0102");
    const std::string answer = klx::encode_frame(0x20, 1, group, 0x00, info.data(), info.size());
    std::vector<uint8_t> back(w);
    back.insert(back.end(), answer.begin(), answer.end());
    return {{0, back}};
  }
};

struct Counting : PMBusProtocol {
  int payloads = 0;
  int process_payload() override { return ++payloads, 1; }
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  void RoundDone() override {}
};

TEST(CommandBuffer, EncodingIntoAKeptBufferGivesTheSameFrames) {
  const std::vector<uint8_t> long_info = hex::decode("DC00005642");
  std::string kept;
  klx::encode_frame_into(kept, 0x20, 1, 0x42, 0x48, long_info.data(), long_info.size());
  EXPECT_EQ(kept, "~20014248600ADC00005642FB7C\r");
  klx::encode_frame_into(kept, 0x20, 1, 0x41, 0x41, nullptr, 0);
  EXPECT_EQ(kept, "~200141410000FDB3\r");
  EXPECT_THROW(klx::encode_frame_into(kept, 0x20, 1, 0x41, 0x41, long_info.data(), 2048),
               std::length_error);
}

TEST(CommandBuffer, ShortCommandAfterALongOneGoesOutWholeAndItsEchoIsSkipped) {
  std::vector<std::string> written;
  auto peer = std::make_unique<EchoingPeer>();
  peer->written = &written;
  klx::Link link(klx::make_peer_transport(std::move(peer), "echo"));
  ASSERT_TRUE(link.open());
  Counting dev;
  dev.set_link(&link);

  const std::vector<uint8_t> dc = hex::decode("DC00005642");
  const uint8_t one = 0x01;
  const auto exchange = [&](uint8_t cid1, uint8_t cid2, const uint8_t* data, int n) {
    dev.write_pmbus_cmd(cid1, cid2, data, n);
    for (int reads = 0; link.awaiting() && reads < 100; ++reads) dev.service_input();
  };
  exchange(0x42, 0x48, dc.data(), static_cast<int>(dc.size()));
  exchange(0x40, 0x41, &one, 1);
  exchange(0x41, 0x41, nullptr, 0);

  EXPECT_EQ(written, (std::vector<std::string>{"~20014248600ADC00005642FB7C\r",
                                               "~20014041E00201FD3C\r", "~200141410000FDB3\r"}));
  EXPECT_EQ(dev.payloads, 3);
  EXPECT_EQ(dev.frame_counters().echo_skipped, 3u);
  EXPECT_EQ(dev.protocol_counters().rtn_errors, 0u);
}

}  // namespace
