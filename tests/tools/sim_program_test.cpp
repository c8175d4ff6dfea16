// klx-sim as a program: a TCP client served with a split, slowed answer reassembled whole; a
// model refused before anything is opened.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "klx/frame.h"
#include "run_tool.h"

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

TEST(KlxSimProgram, BadModelIsRefused) {
  const std::string model = temp_path("bad.json");
  std::ofstream(model) << R"({"rectifiers": {"modules": [{"curent": 10}]}})";
  const ToolRun r = run_tool("klx-sim", {"--model", model, "--pty"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "klx-sim: " + model + ": rectifiers.modules[0].curent: unknown key\n");
}

}  // namespace
