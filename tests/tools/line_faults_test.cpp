// klx-host against klx-sim with one line fault at a time, over a pseudo-terminal (a TCP link for
// the dropped connection). The fault holds from 6 s to 16 s of the simulator's time line; from 7 s
// to 15 s the power system also reads differently (line 2 without mains, module 1 stopped, the DC
// bus at 47 V), so a record holding any of those values was decoded from an answer given in the
// fault's window. Both programs' wall clocks run 20 times faster (libfaketime), so a run takes
// about a second; the host's answer time-out is 100 ms of real time.
//
// For each fault: the runner completes its rounds (it keeps running, and at most four rounds fit
// before the window, so polling resumed after it), every exchange ended exactly one way, the
// counters show the fault was seen, and the records hold no value of a rejected answer (for the
// faults whose answers are good, the window's values do show; late answers, see Window::kLate).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "acquisition/record.h"
#include "klx/frame.h"
#include "support/run_tool.h"

namespace {

constexpr int kRounds = 9;
constexpr int kSpeed = 20;

const char* kModelHead = R"({
  "ac": {"lines": [{"a": 230, "b": 231, "c": 229, "f": 50}, {"a": 229, "b": 230, "c": 231, "f": 50}]},
  "rectifiers": {"voltage": 53.5, "modules": [{"current": 10}, {"current": 11}]},
  "dc": {"panels": [{"voltage": 53.5, "current": 21}]},
  "events": [{"at": 7, "type": "mains_failure", "line": 2, "duration": 8},
             {"at": 7, "type": "module_stop", "module": 1, "duration": 8},
             {"at": 7, "type": "dc_ramp", "panel": 1, "to": 47, "duration": 0},
             {"at": 15, "type": "dc_ramp", "panel": 1, "to": 53.5, "duration": 0}])";

std::string model_with(const std::string& fault) {
  std::string m = kModelHead;
  if (!fault.empty()) m += ",\n  \"faults\": [" + fault + "]";
  return m + "\n}";
}

std::string config_for(const std::string& port, int answer_timeout_ms) {
  return R"({"devices": [{"data_id": 7, "address": 1, "port": ")" + port +
         R"(", "answer_timeout_ms": )" + std::to_string(answer_timeout_ms) +
         R"(, "settings": {"appSetting": {"has_dc": 1}}, "alarm_levels": {"120600180010": 1}}]})";
}

// The counters klx-host prints for the device at exit.
struct Counters {
  long rounds = -1, commands, answers, timeouts, rtn, bad, hex, lchksum, lenid, chksum, address,
       oversize, echoes, unsolicited, other_group;
  long ended() const { return answers + timeouts + rtn + bad; }
};

Counters counters_of(const std::string& err) {
  Counters c;
  size_t at = err.rfind(" rounds, ");
  if (at == std::string::npos) return c;
  while (at > 0 && std::isdigit(static_cast<unsigned char>(err[at - 1]))) --at;
  const int n = std::sscanf(
      err.c_str() + at,
      "%ld rounds, %ld commands, %ld answers, %ld time-outs, %ld RTN errors, %ld bad frames "
      "(hex %ld, LCHKSUM %ld, LENID %ld, CHKSUM %ld, address %ld, oversize %ld), %ld echoes "
      "skipped, %ld unsolicited, %ld answers of another group",
      &c.rounds, &c.commands, &c.answers, &c.timeouts, &c.rtn, &c.bad, &c.hex, &c.lchksum, &c.lenid,
      &c.chksum, &c.address, &c.oversize, &c.echoes, &c.unsolicited, &c.other_group);
  if (n != 15) c.rounds = -1;
  return c;
}

// The records the runner published, from its trace.
std::vector<korvantis_419_Data_t> published(const std::string& trace) {
  std::vector<korvantis_419_Data_t> out;
  std::ifstream in(trace);
  for (std::string l; std::getline(in, l);) {
    Json::Value v;
    if (!Json::Reader().parse(l, v) || v["ev"] != "publish") continue;
    const std::string hex = v["record"].asString();
    korvantis_419_Data_t rec{};
    if (hex.size() != 2 * sizeof rec) continue;
    auto* bytes = reinterpret_cast<uint8_t*>(&rec);
    for (size_t i = 0; i < sizeof rec; ++i)
      bytes[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    out.push_back(rec);
  }
  return out;
}

// A value the power system gives only inside the window.
bool from_window(const korvantis_419_Data_t& r) {
  return r.acChannel[1].a.get() < 100.0f || r.rcChannel[0].current.get() < 1.0f ||
         r.dc.voltage.get() < 50.0f;
}

bool normal(const korvantis_419_Data_t& r) {
  return r.acChannel[0].a.get() == 230.0f && r.acChannel[1].a.get() == 229.0f &&
         r.rcChannel[0].current.get() > 1.0f && r.dc.voltage.get() == 53.5f;
}

struct HostRun {
  ToolRun host;
  ToolRun sim;
  Counters c;
  std::vector<korvantis_419_Data_t> records;
};

HostRun run_against(const std::string& fault, int answer_timeout_ms, bool tcp = false,
                    const std::string& drop_after = "") {
  HostRun r;
  const auto fast = fast_clock_env(kSpeed);
  const std::string model = temp_path("model.json"), config = temp_path("config.json"),
                    trace = temp_path("trace.jsonl");
  std::ofstream(model) << model_with(fault);
  std::vector<std::string> sim_args = {"--model", model};
  if (tcp)
    sim_args.insert(sim_args.end(), {"--listen", "0", "--drop-after", drop_after});
  else
    sim_args.push_back("--pty");
  Background sim = start_tool("klx-sim", sim_args, fast);
  const std::string where = first_line(sim);
  std::ofstream(config) << config_for(tcp ? "tcp:127.0.0.1:" + where : where, answer_timeout_ms);
  r.host = run_tool("klx-host",
                    {"--plugin", KLX_PLUGIN_PATH, "--config", config, "--rounds",
                     std::to_string(kRounds), "--trace", trace, "--timeout", "30"},
                    fast);
  r.sim = stop_tool(sim);
  r.c = counters_of(r.host.err);
  r.records = published(trace);
  std::remove(model.c_str());
  std::remove(config.c_str());
  std::remove(trace.c_str());
  return r;
}

// What becomes of the answers given in the window.
enum class Window {
  kRejected,  // none reaches the device
  kTaken,     // they are good and are decoded
  // They come after their time-out: dropped when nothing waits or another group's command
  // waits. One that comes while a later command of its own group waits cannot be told from that
  // command's answer and is taken (the protocol has no sequence number).
  kLate,
};

struct FaultCase {
  const char* name;
  std::string fault;
  int answer_timeout_ms;
  Window answers;
  std::function<bool(const Counters&)> seen;  // the fault shows in the counters
};

// Test names and failure messages show the case by its name.
void PrintTo(const FaultCase& f, std::ostream* os) { *os << f.name; }

std::string window(const std::string& body) { return R"({"from": 6, "to": 16, )" + body + "}"; }

const FaultCase kCases[] = {
    {"NoAnswer", window(R"("type": "no_answer")"), 100, Window::kRejected,
     [](const Counters& c) { return c.timeouts > 0; }},
    {"BadChksum", window(R"("type": "bad_chksum")"), 100, Window::kRejected,
     [](const Counters& c) { return c.chksum > 0 && c.bad == c.chksum; }},
    {"BadLchksum", window(R"("type": "bad_lchksum")"), 100, Window::kRejected,
     [](const Counters& c) { return c.lchksum > 0 && c.bad == c.lchksum; }},
    {"NonZeroRtn", window(R"("type": "rtn", "rtn": 6)"), 100, Window::kRejected,
     [](const Counters& c) { return c.rtn > 0; }},
    {"GarbageInsideTheFrame", window(R"("type": "garbage_inside")"), 100, Window::kRejected,
     [](const Counters& c) { return c.hex > 0; }},
    {"TruncatedFrame", window(R"("type": "truncated")"), 100, Window::kRejected,
     [](const Counters& c) { return c.timeouts > 0; }},
    {"WrongAddress", window(R"("type": "wrong_address")"), 100, Window::kRejected,
     [](const Counters& c) { return c.address > 0 && c.bad == 0 && c.timeouts > 0; }},
    {"SlowBeyondTheTimeOut", window(R"("type": "slow", "delay_ms": 300)"), 100, Window::kLate,
     [](const Counters& c) { return c.timeouts > 0; }},
    {"GarbageBeforeTheFrame", window(R"("type": "garbage")"), 500, Window::kTaken,
     [](const Counters& c) { return c.bad == 0 && c.timeouts == 0; }},
    {"SplitAnswer", window(R"("type": "split", "chunks": 4, "pause_ms": 10)"), 500, Window::kTaken,
     [](const Counters& c) { return c.bad == 0 && c.timeouts == 0; }},
    {"SlowWithinTheTimeOut", window(R"("type": "slow", "delay_ms": 40)"), 500, Window::kTaken,
     [](const Counters& c) { return c.bad == 0 && c.timeouts == 0; }},
};

class LineFault : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    if (fast_clock_env(kSpeed).empty()) GTEST_SKIP() << "libfaketime is not installed";
  }
};

TEST_P(LineFault, RunnerRecoversAndKeepsNoValueOfARejectedAnswer) {
  const FaultCase& f = GetParam();
  const HostRun r = run_against(f.fault, f.answer_timeout_ms);
  ASSERT_EQ(r.host.status, 0) << r.host.err;
  EXPECT_EQ(r.sim.status, 0) << r.sim.err;
  const Counters& c = r.c;
  ASSERT_EQ(c.rounds, kRounds) << r.host.err;
  EXPECT_TRUE(f.seen(c)) << r.host.err;
  // Every exchange ended one way; a command sent while the last had run out of time may end
  // uncounted, but none ends twice.
  EXPECT_LE(c.ended(), c.commands) << r.host.err;
  EXPECT_LE(c.commands - c.ended(), 2) << r.host.err;
  ASSERT_EQ(r.records.size(), static_cast<size_t>(kRounds));
  int window_records = 0;
  for (const auto& rec : r.records) window_records += from_window(rec) ? 1 : 0;
  if (f.answers == Window::kRejected) {
    EXPECT_EQ(window_records, 0) << "a record holds a value of a rejected answer";
  } else if (f.answers == Window::kTaken) {
    EXPECT_GT(window_records, 0) << "the good answers of the window were not taken";
  }
  EXPECT_TRUE(normal(r.records.back())) << "polling did not resume with the right values";
}

INSTANTIATE_TEST_SUITE_P(Sim, LineFault, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The device server drops the TCP connection after every eleven answers, mid-round: the link is
// reopened each time and the rounds go on.
TEST(LineFaultTcp, PeerClosesAndReopensTheConnection) {
  if (fast_clock_env(kSpeed).empty()) GTEST_SKIP() << "libfaketime is not installed";
  const HostRun r = run_against("", 500, true, "11");
  ASSERT_EQ(r.host.status, 0) << r.host.err;
  EXPECT_EQ(r.sim.status, 0) << r.sim.err;
  EXPECT_EQ(r.c.rounds, kRounds) << r.host.err;
  size_t drops = 0;
  for (size_t at = 0;
       (at = r.sim.err.find("connection closed after 11 answers", at)) != std::string::npos; ++at)
    ++drops;
  EXPECT_GE(drops, 2u) << r.sim.err;
  std::istringstream lines(r.host.err);
  size_t downs = 0, opens = 0;
  for (std::string l; std::getline(lines, l);) {
    downs +=
        l.find(": tcp 127.0.0.1:") != std::string::npos && l.find(" down: ") != std::string::npos;
    opens += l.find(": tcp 127.0.0.1:") != std::string::npos && l.size() > 5 &&
             l.compare(l.size() - 5, 5, " open") == 0;
  }
  EXPECT_GE(downs, 2u) << r.host.err;
  EXPECT_EQ(opens, downs) << r.host.err;
  EXPECT_LE(r.c.ended(), r.c.commands) << r.host.err;
  ASSERT_FALSE(r.records.empty());
  for (const auto& rec : r.records) EXPECT_TRUE(normal(rec) || from_window(rec));
  EXPECT_TRUE(normal(r.records.back()));
}

// The first whole frame the peer sends (10 s at most).
klx::Frame first_frame(int fd) {
  klx::FrameParser parser;
  uint8_t buf[256];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 10000) == 1) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    const auto frames = parser.feed(buf, static_cast<size_t>(n));
    if (!frames.empty()) return frames.front();
  }
  return klx::Frame{};
}

// A client that leaves while its answer is still on its way: the next client gets the answers to
// its own commands, never the one meant for the last.
TEST(LineFaultTcp, NewConnectionGetsNoAnswerOfTheLastOne) {
  const std::string model = temp_path("slow.json");
  std::ofstream(model) << R"({"rectifiers": {"voltage": 53.5, "modules": [{"current": 10}]},
    "faults": [{"type": "slow", "delay_ms": 300}]})";
  Background sim = start_tool("klx-sim", {"--model", model, "--listen", "0"});
  const int port = std::atoi(first_line(sim).c_str());
  ASSERT_GT(port, 0);
  const std::string rc = klx::encode_frame(0x20, 1, 0x41, 0x41, nullptr, 0);
  const int first = connect_local(port);
  ASSERT_GE(first, 0);
  ASSERT_EQ(write(first, rc.data(), rc.size()), static_cast<ssize_t>(rc.size()));
  close(first);
  const int second = connect_local(port);
  ASSERT_GE(second, 0);
  const std::string ac = klx::encode_frame(0x20, 1, 0x40, 0x41, nullptr, 0);
  ASSERT_EQ(write(second, ac.data(), ac.size()), static_cast<ssize_t>(ac.size()));
  const klx::Frame f = first_frame(second);
  close(second);
  const ToolRun end = stop_tool(sim);
  EXPECT_EQ(f.cid1, 0x40) << "the second client got an answer meant for the first";
  EXPECT_EQ(end.status, 0) << end.err;
  std::remove(model.c_str());
}

}  // namespace
