// The lines under the protocol layer: replay scripts, TCP device servers and the link's
// reconnect back-off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#include "klx/frame.h"
#include "klx/link.h"
#include "klx/replay.h"
#include "support/hex.h"

namespace {

std::vector<uint8_t> command(uint8_t cid1, uint8_t cid2, uint8_t adr = 1) {
  const std::string f = klx::encode_frame(0x20, adr, cid1, cid2, nullptr, 0);
  return std::vector<uint8_t>(f.begin(), f.end());
}

// The answer the script gives to one command: its info bytes and RTN, or "none".
std::string answer_of(klx::ReplayPeer& p, uint8_t cid1, uint8_t cid2) {
  const auto chunks = p.respond(command(cid1, cid2));
  if (chunks.empty()) return "none";
  klx::FrameParser parser;
  const auto frames = parser.feed(chunks[0].bytes.data(), chunks[0].bytes.size());
  if (frames.size() != 1) return "bad";
  char rtn[8];
  snprintf(rtn, sizeof rtn, "%02x:", frames[0].cid2);
  return rtn + hex::encode(frames[0].info);
}

TEST(ReplayScript, EntriesAreTakenInTurnAndTheLastOneStays) {
  std::istringstream script(R"({"cid1":"40","cid2":"41","info":"01"}
{"cid1":"40","cid2":"41","info":"02"}

{"cid1":"41","cid2":"41","timeout":true}
{"cid1":"41","cid2":"41","info":"AA"}
{"cid1":"42","cid2":"41","rtn":"04"}
)");
  auto p = klx::ReplayPeer::from_stream(script, "s");
  EXPECT_EQ(answer_of(*p, 0x40, 0x41), "00:01");
  EXPECT_EQ(answer_of(*p, 0x40, 0x41), "00:02");
  EXPECT_EQ(answer_of(*p, 0x40, 0x41), "00:02");
  EXPECT_EQ(answer_of(*p, 0x41, 0x41), "none");
  EXPECT_EQ(answer_of(*p, 0x41, 0x41), "00:aa");
  EXPECT_EQ(answer_of(*p, 0x42, 0x41), "04:");
  EXPECT_EQ(answer_of(*p, 0x42, 0x44), "none");  // no entry: a time-out
  EXPECT_EQ(p->answered(), 5u);
  EXPECT_EQ(p->unanswered(), 2u);
  // The answer comes from the address it was asked of.
  const auto chunks = p->respond(command(0x40, 0x41, 9));
  klx::FrameParser parser;
  ASSERT_EQ(parser.feed(chunks.at(0).bytes.data(), chunks[0].bytes.size()).at(0).adr, 9);
}

TEST(ReplayScript, BadLinesAreRefusedWithTheirNumber) {
  const std::pair<const char*, const char*> rows[] = {
      {"{\"cid1\":\"40\",\"cid2\":\"41\"}\nnot json\n", "s line 2: not JSON"},
      {R"({"cid1":"4","cid2":"41"})", "s line 1: \"cid1\" has an odd number of hex digits"},
      {R"({"cid1":"4041","cid2":"41"})", "\"cid1\" must be one byte"},
      {R"({"cid1":"40","cid2":"41","info":"0g"})", "\"info\" is not hex"},
      {R"({"cid1":"40","cid2":"41","info":7})", "\"info\" must be a hex string"},
      {R"({"cid1":"40","cid2":"41","timeout":"yes"})", "\"timeout\" must be true or false"},
      {R"({"cid1":"40","cid2":"41","extra":1})", "unknown key \"extra\""},
      {R"({"cid2":"41"})", "\"cid1\" and \"cid2\" are needed"},
      {R"([1])", "not a JSON object"},
  };
  for (const auto& [text, message] : rows) {
    std::istringstream in(text);
    try {
      klx::ReplayPeer::from_stream(in, "s");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
  std::istringstream long_info("{\"cid1\":\"40\",\"cid2\":\"41\",\"info\":\"" +
                               std::string(2 * 2048, '0') + "\"}");
  EXPECT_THROW(klx::ReplayPeer::from_stream(long_info, "s"), std::runtime_error);
}

// A device server on the loopback interface.
struct Server {
  int listener = -1;
  uint16_t port = 0;
  sockaddr_in addr{};
  explicit Server(int backlog = 4) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener, backlog);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~Server() { close(listener); }
  int accept_one() { return accept(listener, nullptr, nullptr); }
};

long read_some(klx::Link& link, uint8_t* buf, size_t cap) {
  for (int i = 0; i < 1000; ++i) {  // the bytes are on the loopback already; bounded retries
    const long n = link.read(buf, cap);
    if (n != 0) return n;
    pollfd p{link.transport().fd(), POLLIN, 0};
    poll(&p, 1, 100);
  }
  return 0;
}

TEST(TcpLine, CarriesBytesBothWaysAndReconnectsAfterADrop) {
  Server server;
  klx::Link link(klx::make_tcp_transport("127.0.0.1", server.port));
  ASSERT_TRUE(link.open()) << link.last_error();
  int peer = server.accept_one();
  ASSERT_GE(peer, 0);
  const std::string cmd = "~200141410000FDB3\r";
  ASSERT_TRUE(link.send(reinterpret_cast<const uint8_t*>(cmd.data()), cmd.size()));
  char got[64] = {};
  ASSERT_EQ(read(peer, got, sizeof got), static_cast<ssize_t>(cmd.size()));
  EXPECT_EQ(std::string(got, cmd.size()), cmd);
  ASSERT_EQ(write(peer, "~abc", 4), 4);
  uint8_t buf[16];
  EXPECT_EQ(read_some(link, buf, sizeof buf), 4);

  close(peer);  // the server drops the connection
  EXPECT_EQ(read_some(link, buf, sizeof buf), -1);
  EXPECT_FALSE(link.is_open());
  EXPECT_EQ(link.counters().lost, 1u);
  const auto due = link.reconnect_due();
  link.maintain(due - std::chrono::milliseconds(1));  // not yet
  EXPECT_FALSE(link.is_open());
  link.maintain(due);
  ASSERT_TRUE(link.is_open()) << link.last_error();
  EXPECT_EQ(link.counters().reconnects, 1u);
  peer = server.accept_one();
  EXPECT_GE(peer, 0);
  close(peer);
}

TEST(TcpLine, BackOffGrowsWhileNobodyListens) {
  uint16_t port = 0;
  {
    Server gone;
    port = gone.port;
  }
  klx::Link link(klx::make_tcp_transport("127.0.0.1", port));
  const auto t0 = klx::Link::Clock::now();
  EXPECT_FALSE(link.open());
  EXPECT_NE(link.last_error().find("connect"), std::string::npos) << link.last_error();
  const auto first = link.reconnect_due() - t0;
  link.maintain(link.reconnect_due());
  const auto t1 = klx::Link::Clock::now();
  EXPECT_FALSE(link.is_open());
  EXPECT_GT(link.reconnect_due() - t1, first);  // waits longer the second time
}

// A device server that takes no connection (its listen queue is full) holds no one up: open()
// returns at once with the connection in progress, and gives it up after 2 s of the link's time.
TEST(TcpLine, ConnectionInProgressDoesNotWaitAndIsGivenUp) {
  Server server(0);
  std::vector<int> fillers;  // connections that fill the queue; later SYNs go unanswered
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    connect(fillers.back(), reinterpret_cast<sockaddr*>(&server.addr), sizeof server.addr);
  }
  auto t = klx::Link::Clock::now();
  klx::Link link(klx::make_tcp_transport("127.0.0.1", server.port));
  link.set_time(t);
  EXPECT_FALSE(link.open());
  if (link.transport().connecting()) {  // a kernel that answers every SYN leaves nothing to test
    EXPECT_LT(link.reconnect_due() - t, std::chrono::milliseconds(100)) << "looked at again soon";
    link.maintain(t += std::chrono::milliseconds(2100));
    EXPECT_FALSE(link.is_open());
    EXPECT_FALSE(link.transport().connecting());
    EXPECT_NE(link.last_error().find("timed out"), std::string::npos) << link.last_error();
  }
  for (int fd : fillers) close(fd);
}

TEST(SerialLine, MissingDeviceAndUnsupportedSpeedAreReported) {
  klx::Link missing(klx::make_serial_transport("/dev/klx-no-such-tty", 9600));
  EXPECT_FALSE(missing.open());
  EXPECT_NE(missing.last_error().find("/dev/klx-no-such-tty"), std::string::npos);
  klx::Link odd(klx::make_serial_transport("/dev/null", 12345));
  EXPECT_FALSE(odd.open());
  EXPECT_NE(odd.last_error().find("unsupported speed 12345"), std::string::npos);
}

}  // namespace
