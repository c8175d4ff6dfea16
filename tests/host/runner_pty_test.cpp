// klx-host's serial port code end to end: it opens one end of a pseudo-terminal pair with
// termios while a scripted power system answers on the other end, as through an RS-485 adapter
// that hands every command back before the answer, with noise in between.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "klx/frame.h"
#include "round_script.h"
#include "run_host.h"
#include "support/hex.h"

namespace {

class ScriptedPowerSystem {
 public:
  // Every address is answered but `silent` (0: none silent); the adapter echoes every command.
  explicit ScriptedPowerSystem(int fd, int silent = 0)
      : fd_(fd), silent_(silent), thread_([this] { serve(); }) {}
  ~ScriptedPowerSystem() {
    stop_ = true;
    thread_.join();
  }
  int commands() const { return commands_; }

 private:
  void serve() {
    klx::FrameParser parser;
    uint8_t buf[256];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) continue;
      parser.feed(buf, static_cast<size_t>(n), [this](const klx::Frame* f, klx::FrameError) {
        if (f) answer(*f);
      });
    }
  }

  void answer(const klx::Frame& command) {
    ++commands_;
    const std::string echo = klx::encode_frame(command.ver, command.adr, command.cid1, command.cid2,
                                               command.info.data(), command.info.size());
    const auto it = round_script::answers().find({command.cid1, command.cid2});
    if (it == round_script::answers().end() || command.adr == silent_) {
      put(echo);
      return;
    }
    const auto info = hex::decode(it->second);
    const std::string reply =
        klx::encode_frame(command.ver, command.adr, command.cid1, 0x00, info.data(), info.size());
    // Echo, noise, then the answer in two writes.
    put(echo + "\xff\x13" + reply.substr(0, 9));
    put(reply.substr(9));
  }

  void put(const std::string& s) {
    for (size_t done = 0; done < s.size();) {
      const ssize_t w = write(fd_, s.data() + done, s.size() - done);
      if (w <= 0) return;
      done += static_cast<size_t>(w);
    }
  }

  int fd_;
  int silent_;
  std::atomic<bool> stop_{false};
  std::atomic<int> commands_{0};
  std::thread thread_;
};

TEST(RunnerPty, FullRoundThroughATermiosSerialPort) {
  if (run_host::binary().empty()) GTEST_SKIP() << "this build has no klx-host";
  int master = -1, slave = -1;
  char name[128] = {};
  termios raw{};
  cfmakeraw(&raw);
  ASSERT_EQ(openpty(&master, &slave, name, &raw, nullptr), 0);
  const std::string dir = run_host::scratch_dir("pty");
  run_host::Result r;
  int commands = 0;
  {
    ScriptedPowerSystem power(master);
    run_host::write_file(dir + "/config.json", round_script::config_json(name));
    r = run_host::run({"--config", dir + "/config.json", "--rounds", "1", "--trace",
                       dir + "/trace.jsonl", "--timeout", "20"});
    commands = power.commands();
  }
  close(slave);
  close(master);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(commands, 8);
  EXPECT_NE(r.err.find("8 commands, 8 answers, 0 time-outs, 0 RTN errors, 0 bad frames"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("8 echoes skipped"), std::string::npos) << r.err;

  // The published record is the one the same answers give in-process.
  TestDevice ref(7);
  round_script::play_in_process(ref);
  ASSERT_EQ(ref.rec.published.size(), 1u);
  std::string want = hex::encode(ref.rec.published[0]);
  std::string got;
  for (const auto& line : run_host::read_lines(dir + "/trace.jsonl")) {
    Json::Value v;
    Json::Reader().parse(line, v);
    if (v["ev"] == "publish") got = v["record"].asString();
  }
  ASSERT_EQ(got.size(), want.size());
  got.replace(2 * 555, 14, 14, '-');  // the time stamps differ
  want.replace(2 * 555, 14, 14, '-');
  EXPECT_EQ(got, want);
}

// Rounds a device completed, from the counters klx-host prints at exit; -1 when absent.
int rounds_of(const std::string& err, int data_id) {
  const std::string key = "klx-host: data_id " + std::to_string(data_id) + ": ";
  for (size_t at = err.find(key); at != std::string::npos; at = err.find(key, at + 1)) {
    int rounds = -1;
    if (std::sscanf(err.c_str() + at + key.size(), "%d rounds,", &rounds) == 1) return rounds;
  }
  return -1;
}

// Three devices on one serial line, address 3 silent: addresses 1 and 2 are served in turn and
// keep completing rounds; the silent one only costs its own time-outs. The runner stops when the
// silent device has gone 2 s without a round. Device clocks run 50 times faster (2 s rounds are
// 40 ms apart).
TEST(RunnerPty, ThreeDevicesOnOneLineOneSilent) {
  if (run_host::binary().empty()) GTEST_SKIP() << "this build has no klx-host";
  const auto fast = run_host::fast_clock_env(50);
  if (fast.empty()) GTEST_SKIP() << "libfaketime is not installed";
  int master = -1, slave = -1;
  char name[128] = {};
  termios raw{};
  cfmakeraw(&raw);
  ASSERT_EQ(openpty(&master, &slave, name, &raw, nullptr), 0);
  const std::string dir = run_host::scratch_dir("pty3");
  std::string devices;
  for (int a = 1; a <= 3; ++a)
    devices += std::string(a > 1 ? "," : "") + R"({"data_id":)" + std::to_string(a) +
               R"(,"address":)" + std::to_string(a) + R"(,"port":")" + name +
               R"(","answer_timeout_ms":100,"quiet_interval_ms":100})";
  run_host::write_file(dir + "/config.json", R"({"devices":[)" + devices + "]}");
  run_host::Result r;
  {
    ScriptedPowerSystem power(master, 3);
    r = run_host::run({"--config", dir + "/config.json", "--rounds", "1000", "--timeout", "2"},
                      fast);
  }
  close(slave);
  close(master);
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("data_id 3: no round completed within 2 s"), std::string::npos) << r.err;
  EXPECT_GE(rounds_of(r.err, 1), 3) << r.err;
  EXPECT_GE(rounds_of(r.err, 2), 3) << r.err;
  EXPECT_EQ(rounds_of(r.err, 3), 0) << r.err;
  int commands = 0;
  const auto at = r.err.find("klx-host: data_id 3: 0 rounds, ");
  ASSERT_NE(at, std::string::npos) << r.err;
  std::sscanf(r.err.c_str() + at, "klx-host: data_id 3: 0 rounds, %d commands", &commands);
  EXPECT_GE(commands, 2) << "the silent device was not asked again";
}

}  // namespace
