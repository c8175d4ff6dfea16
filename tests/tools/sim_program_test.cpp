// klx-sim as a program: a TCP client served with a split, slowed answer reassembled whole; a
// model refused before anything is opened; two addresses on one line; clients that neither hold
// each other up nor, unread, the simulator.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "klx/frame.h"
#include "support/run_tool.h"

namespace {

// Reads until a CR arrives, counting the reads it took; gives up after 10 s without a byte.
std::string read_frame(int fd, int& reads) {
  std::string got;
  char buf[256];
  pollfd p{fd, POLLIN, 0};
  while (got.find('\r') == std::string::npos && poll(&p, 1, 10000) == 1) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
    ++reads;
  }
  return got;
}

TEST(KlxSimProgram, SplitAnswersOverTcp) {
  const std::string model = temp_path("split.json");
  std::ofstream(model) << R"({"rectifiers": {"voltage": 53.5, "modules": [{"current": 10}]},
    "faults": [{"type": "split", "chunks": 3, "pause_ms": 80}, {"type": "slow", "delay_ms": 20}]})";
  Background sim = start_tool("klx-sim", {"--model", model, "--listen", "0", "--address", "3"});
  const int port = std::atoi(first_line(sim).c_str());
  ASSERT_GT(port, 0);
  const int fd = connect_local(port);
  ASSERT_GE(fd, 0);
  for (int exchange = 0; exchange < 2; ++exchange) {
    const std::string cmd = klx::encode_frame(0x20, 3, 0x41, 0x41, nullptr, 0);
    ASSERT_EQ(write(fd, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
    int reads = 0;
    const std::string answer = read_frame(fd, reads);
    klx::FrameParser parser;
    parser.expect_address(3);
    const auto frames = parser.feed(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
    ASSERT_EQ(frames.size(), 1u) << answer;
    EXPECT_EQ(frames[0].cid2, 0);
    EXPECT_EQ(frames[0].info.size(), 1u + 4 + 1 + 5);
    EXPECT_GE(reads, 2);  // the pauses keep the pieces apart (on a busy machine two may join)
  }
  close(fd);
  const ToolRun end = stop_tool(sim);
  EXPECT_EQ(end.status, 0);
  EXPECT_NE(end.err.find("client connected"), std::string::npos) << end.err;
}

std::string ask(int fd, uint8_t adr) {
  const std::string cmd = klx::encode_frame(0x20, adr, 0x41, 0x41, nullptr, 0);
  if (write(fd, cmd.data(), cmd.size()) != static_cast<ssize_t>(cmd.size())) return "";
  int reads = 0;
  return read_frame(fd, reads);
}

// The first answer after a command to address 3 and one to address 2 is address 2's: nobody
// serves 3, and address 2 answers from its own model.
TEST(KlxSimProgram, ServesSeveralAddressesOnOneLine) {
  const std::string model = temp_path("shelf48.json");
  std::ofstream(model) << R"({"rectifiers": {"voltage": 48, "modules": [{"current": 10}]}})";
  Background sim = start_tool("klx-sim", {"--device", "1", "--device", "2:" + model, "--pty"});
  const std::string pty = first_line(sim);
  const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  const std::string cmd3 = klx::encode_frame(0x20, 3, 0x41, 0x41, nullptr, 0);
  std::string two, one;
  if (fd >= 0 && write(fd, cmd3.data(), cmd3.size()) == static_cast<ssize_t>(cmd3.size()))
    two = ask(fd, 2), one = ask(fd, 1);
  if (fd >= 0) close(fd);
  EXPECT_EQ(stop_tool(sim).status, 0) << pty;
  const std::string shelf48 = klx::encode_frame(0x20, 2, 0x41, 0, nullptr, 0);
  EXPECT_EQ(two.substr(0, 9), shelf48.substr(0, 9)) << two;  // SOI VER ADR CID1 RTN
  EXPECT_EQ(one.substr(0, 9), klx::encode_frame(0x20, 1, 0x41, 0, nullptr, 0).substr(0, 9)) << one;
  EXPECT_NE(two.substr(13), one.substr(13));  // their info differs
}

// One client idles, another writes commands and never reads: a third is still served, the
// reader-less one is dropped, and SIGTERM ends klx-sim at once.
TEST(KlxSimProgram, NoClientHoldsTheOthers) {
  Background sim = start_tool("klx-sim", {"--listen", "0"});
  const int port = std::atoi(first_line(sim).c_str());
  const int idle = connect_local(port);
  const int greedy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 4096;  // a small window fills klx-sim's send buffer soon
  setsockopt(greedy, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string cmd = klx::encode_frame(0x20, 1, 0x41, 0x41, nullptr, 0);
  int sent = 0;
  if (connect(greedy, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
    while (sent < 1000000 && send(greedy, cmd.data(), cmd.size(), MSG_NOSIGNAL) > 0) ++sent;
  const int polite = connect_local(port);
  const std::string answer = ask(polite, 1);
  for (int fd : {idle, greedy, polite}) close(fd);
  const ToolRun end = stop_tool(sim);
  EXPECT_EQ(answer.substr(0, 9), klx::encode_frame(0x20, 1, 0x41, 0, nullptr, 0).substr(0, 9));
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, 1000000) << "the client that never reads was never dropped";
  EXPECT_EQ(end.status, 0);
  EXPECT_NE(end.err.find("bytes of answers not taken"), std::string::npos) << end.err;
}

TEST(KlxSimProgram, BadModelIsRefused) {
  const std::string model = temp_path("bad.json");
  std::ofstream(model) << R"({"rectifiers": {"modules": [{"curent": 10}]}})";
  const ToolRun r = run_tool("klx-sim", {"--model", model, "--pty"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "klx-sim: " + model + ": rectifiers.modules[0].curent: unknown key\n");
}

}  // namespace
