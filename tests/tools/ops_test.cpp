// klx-host as a site service: polling the 40-module model with the HTTP endpoint open and a
// notification socket bound as systemd would. Its wall clock runs 10 times faster (libfaketime),
// so rounds come every 0.2 s; nothing here waits for time to pass, only for what the host says.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "history_week.h"
#include "klx/store.h"
#include "support/run_tool.h"

extern char** environ;

namespace {

using Steady = std::chrono::steady_clock;

// A child whose output goes to files (the plug-in writes a lot on standard output, which must
// never fill a pipe nobody reads); killed and reaped on every path.
struct Child {
  pid_t pid = -1;
  std::string out, err;
  Child(std::vector<std::string> argv_s, const std::vector<std::string>& env_s) {
    out = temp_path("out");
    err = temp_path("err");
    std::vector<std::string> env = env_s;
    env.push_back("TZ=UTC");
    for (char** e = environ; *e; ++e) env.push_back(*e);  // the first of a name wins
    std::vector<char*> a, p;
    for (auto& s : argv_s) a.push_back(&s[0]);
    for (auto& s : env) p.push_back(&s[0]);
    a.push_back(nullptr);
    p.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid, a[0], &fa, nullptr, a.data(), p.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Child() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  }
  // Exit code after `sig` (0: none sent), or -1 when it did not exit normally within `limit_s`.
  int finish(int sig, int limit_s = 60) {
    if (sig) kill(pid, sig);
    int st = 0;
    for (int i = 0; i < limit_s * 100; ++i, poll(nullptr, 0, 10))
      if (waitpid(pid, &st, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
    return -1;
  }
  // Polls standard error until `pred` holds (at most 30 s, or the child ends).
  template <class Pred>
  bool wait_err(Pred pred) {
    for (int i = 0; i < 3000; ++i, poll(nullptr, 0, 10)) {
      if (pred(slurp(err))) return true;
      if (waitpid(pid, nullptr, WNOHANG) == pid) return pid = -1, pred(slurp(err));
    }
    return false;
  }
};

// The highest "round N:" the host has reported on standard error.
unsigned last_round(const std::string& err) {
  unsigned n = 0;
  for (size_t at = err.find(" round "); at != std::string::npos; at = err.find(" round ", at + 1))
    n = std::max(n, static_cast<unsigned>(std::strtoul(err.c_str() + at + 7, nullptr, 10)));
  return n;
}

int port_of(const std::string& err) {
  const std::string mark = "http: listening on 127.0.0.1:";
  const size_t at = err.find(mark);
  return at == std::string::npos ? 0 : std::atoi(err.c_str() + at + mark.size());
}

// Sends `request` on `fd` and reads the answer until the server closes (at most 10 s).
std::string talk_on(int fd, const std::string& request) {
  if (!request.empty()) (void)!write(fd, request.data(), request.size());
  std::string answer;
  char buf[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 10000) == 1) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    answer.append(buf, static_cast<size_t>(n));
  }
  return answer;
}

std::string talk(int port, const std::string& request) {
  const int fd = connect_local(port);
  if (fd < 0) return "";
  const std::string answer = talk_on(fd, request);
  close(fd);
  return answer;
}

std::string get_body(int port, const std::string& path) {
  const std::string a = talk(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
  if (a.rfind("HTTP/1.1 200", 0) != 0) return "";
  return a.substr(a.find("\r\n\r\n") + 4);
}

std::string config(const std::string& extra) {
  return R"({"mqtt": {"site": "north \"7\""},
  "devices": [{"data_id": 7, "port": "sim:)" KLX_SOURCE_DIR R"(/sim/models/full_shelf.json",
    "settings": {"appSetting": {"has_dc": 1, "b_mode": 2}},
    "alarm_levels": {"120600180010": 1, "210600320010": 2},
    "thresholds": {"210600320010": 50}}])" +
         extra + "}";
}

std::unique_ptr<Child> start_host(const std::vector<std::string>& args,
                                  std::vector<std::string> env) {
  const std::string path = temp_path("config.json");
  std::ofstream(path) << config("");
  std::vector<std::string> argv = {std::string(KLX_BIN_DIR) + "/klx-host", "--plugin",
                                   KLX_PLUGIN_PATH, "--config", path};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<Child>(argv, env);
}

// Runs a program to its end (killed after 90 s); true when it exited 0.
bool run_to_end(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                std::string* out = nullptr) {
  Child c(argv, env);
  const bool ok = c.finish(0, 90) == 0;
  if (out) *out = slurp(c.out);
  return ok;
}

bool have(const char* program) { return access(program, X_OK) == 0; }

TEST(StatusEndpoint, AbuseDoesNotStopPollingAndThePageShowsTheSite) {
  const auto env = fast_clock_env(10);
  if (env.empty()) GTEST_SKIP() << "libfaketime is not installed";
  auto host = start_host({"--http", "127.0.0.1:0"}, env);
  ASSERT_TRUE(host->wait_err([](const std::string& e) { return last_round(e) >= 2; }))
      << slurp(host->err);
  const int port = port_of(slurp(host->err));
  ASSERT_GT(port, 0);

  // A flood of idle connections beyond the bound, slow clients that never finish their header,
  // and requests that are not HTTP. The oldest idle ones make way for newcomers and read a 503
  // (not a reset); a prober is served among them.
  std::vector<int> held;
  for (int i = 0; i < 48; ++i) held.push_back(connect_local(port));
  for (int i = 40; i < 48; ++i) (void)!write(held[i], "GET / HTTP/1.1\r\nX-Slow: ", 24);
  const unsigned before = last_round(slurp(host->err));
  EXPECT_EQ(talk(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n").rfind("HTTP/1.1 200", 0), 0u)
      << "a prober is served while the slow clients fill the endpoint";
  EXPECT_EQ(talk_on(held[0], "").rfind("HTTP/1.1 503", 0), 0u) << "the evicted read a refusal";
  ASSERT_TRUE(host->wait_err([before](const std::string& e) {
    return last_round(e) >= before + 3;
  })) << "rounds stopped while clients held the endpoint";
  for (int fd : held) close(fd);

  const struct {
    std::string request, status;
  } malformed[] = {
      {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15), "HTTP/1.1 400"},
      {"GET / HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", "HTTP/1.1 400"},
      {"POST /metrics HTTP/1.1\r\nContent-Length: 5000000\r\n\r\n", "HTTP/1.1 400"},
      {"DELETE /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405"},
      {"GET /../../etc/passwd HTTP/1.1\r\n\r\n", "HTTP/1.1 404"},
  };
  for (const auto& m : malformed)
    EXPECT_EQ(talk(port, m.request).rfind(m.status, 0), 0u) << m.status;

  const std::string metrics = get_body(port, "/metrics");
  const std::string id = R"(site="north \"7\"",data_id="7")";
  for (const std::string& line :
       {"klx_rectifier_modules{" + id + "} 40", "klx_device_up{" + id + "} 1",
        "klx_alarm_active{" + id + R"(,alarm_id="210600320010",level="2"} 1)",
        "klx_dc_voltage_volts{" + id + R"(,panel="1"} 48.2)",
        "klx_rectifier_module_current_amperes{" + id + R"(,module="40"} 10.6)"})
    EXPECT_NE(metrics.find(line + "\n"), std::string::npos) << line << "\n" << metrics;
  EXPECT_EQ(metrics.find("-0.1"), std::string::npos) << "an absent value was exported";
  EXPECT_EQ(metrics.find("phase=\"c\"} 0\n"), std::string::npos);
  // scripts/install-deps unpacks promtool alone into /opt/promtool when prometheus is absent.
  const std::string file = temp_path("metrics.txt");
  std::ofstream(file) << metrics;
  const std::string lint =
      "PATH=$PATH:/opt/promtool/usr/bin; command -v promtool >/dev/null || "
      "exit 0; promtool check metrics < '" +
      file + "'";
  EXPECT_TRUE(run_to_end({"/bin/sh", "-c", lint}, {})) << metrics;

  Json::Value state;
  std::istringstream(get_body(port, "/api/state")) >> state;
  EXPECT_EQ(state["7"]["rc_channel_count"].asUInt(), 40u);
  EXPECT_EQ(state["7"]["rcChannel"].size(), 40u);
  EXPECT_TRUE(state["7"]["ac"]["ac_c"].isNull()) << "absent: null";
  EXPECT_EQ(state["7"]["time"].asString().substr(19), "+00:00");
  EXPECT_GE(state["7"]["round"].asUInt(), 2u);

  // The page as a person sees it, after its scripts ran; and a picture of it kept.
  if (!have("/usr/bin/chromium")) GTEST_SKIP() << "chromium is not installed";
  const std::string profile = temp_path("chromium");
  const std::vector<std::string> chromium = {"/usr/bin/chromium",
                                             "--headless",
                                             "--no-sandbox",
                                             "--disable-gpu",
                                             "--disable-background-networking",
                                             "--disable-component-update",
                                             "--disable-sync",
                                             "--no-first-run",
                                             "--user-data-dir=" + profile,
                                             "--virtual-time-budget=3000"};
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  std::vector<std::string> dump = chromium;
  dump.insert(dump.end(), {"--dump-dom", url});
  std::string dom;
  ASSERT_TRUE(run_to_end(dump, {"HOME=" + profile}, &dom));
  for (const char* text : {"48V直流系统直流总电压过低告警", "1 active alarm", "40 modules",
                           "#7 failed", "#12 off", "#40 running", "230.1 V", "50.00 Hz", "48.20 V",
                           "310.5 A", "Output 48.3 V", ">UP<", "answers "})
    EXPECT_NE(dom.find(text), std::string::npos) << text << "\n" << dom;
  const std::string shot = std::string(KLX_BIN_DIR) + "/../artefacts/status_page.png";
  mkdir((std::string(KLX_BIN_DIR) + "/../artefacts").c_str(), 0755);
  std::vector<std::string> picture = chromium;
  picture.insert(picture.end(), {"--window-size=1280,1100", "--screenshot=" + shot, url});
  EXPECT_TRUE(run_to_end(picture, {"HOME=" + profile}));
  EXPECT_EQ(host->finish(SIGTERM), 0);
}

// The notification socket a service manager binds; datagrams it received, in order.
struct NotifySocket {
  int fd = -1;
  std::string path;
  NotifySocket() : path(temp_path("notify")) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~NotifySocket() { close(fd), unlink(path.c_str()); }
  // The next message, or "" after 30 s of silence.
  std::string next() {
    pollfd p{fd, POLLIN, 0};
    char buf[256];
    if (poll(&p, 1, 30000) != 1) return "";
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
};

TEST(ServiceManager, ReadyAfterThePortsWatchdogPingsStoppingAndAWholeStore) {
  const auto env_fast = fast_clock_env(10);
  if (env_fast.empty()) GTEST_SKIP() << "libfaketime is not installed";
  NotifySocket sd;
  auto env = env_fast;
  env.insert(env.end(), {"NOTIFY_SOCKET=" + sd.path, "WATCHDOG_USEC=200000"});
  const std::string db = temp_path("history.db"), cache = temp_path("cache");
  auto host = start_host({"--http", "127.0.0.1:0", "--db", db, "--cache", cache}, env);

  ASSERT_EQ(sd.next(), "READY=1") << slurp(host->err);
  const Steady::time_point ready = Steady::now();
  const int port = port_of(slurp(host->err));
  ASSERT_GT(port, 0) << "READY before the endpoint listened";
  EXPECT_NE(get_body(port, "/api/status").find("\"data_id\":7"), std::string::npos);
  ASSERT_TRUE(host->wait_err([](const std::string& e) { return last_round(e) >= 3; }));

  ASSERT_EQ(kill(host->pid, SIGTERM), 0);
  unsigned pings = 0;
  std::string m;
  while ((m = sd.next()) == "WATCHDOG=1") ++pings;
  const double seconds = std::chrono::duration<double>(Steady::now() - ready).count();
  EXPECT_EQ(m, "STOPPING=1");
  EXPECT_GE(pings, 2u) << "no watchdog pings from the poll loop";
  EXPECT_LE(pings, seconds / 0.1 + 2) << "pings faster than half the watchdog interval";
  EXPECT_EQ(host->finish(0), 0) << slurp(host->err);

  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> close_db(h, sqlite3_close);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(h, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
  sqlite3_finalize(st);
  klx::RecordCache restored(cache);
  std::string error;
  ASSERT_TRUE(restored.load(error)) << error;
  ASSERT_NE(restored.latest(7), nullptr);
  EXPECT_EQ(restored.latest(7)->record.size(), 587u);
}

// The trends as a person sees them: a week with a mains failure in the middle, written through
// the store, shown by a klx-host that keeps polling into the same database.
TEST(StatusPage, TrendsShowAWeekWithAMainsFailureAndItsAlarmMarks) {
  if (!have("/usr/bin/chromium")) GTEST_SKIP() << "chromium is not installed";
  const std::string db = temp_path("week.db"), cfg = temp_path("week.json");
  const int64_t end = ::time(nullptr);
  write_history_week(db, end);
  std::ofstream(cfg) << R"({"devices": [{"data_id": 7, "port": "sim",
                          "settings": {"appSetting": {"has_dc": 1}}}]})";
  Child host({std::string(KLX_BIN_DIR) + "/klx-host", "--plugin", KLX_PLUGIN_PATH, "--config", cfg,
              "--db", db, "--http", "127.0.0.1:0"},
             {});
  ASSERT_TRUE(host.wait_err([](const std::string& e) { return last_round(e) >= 1; }))
      << slurp(host.err);
  const int port = port_of(slurp(host.err));
  ASSERT_GT(port, 0);
  const std::string week = "/api/history?data_id=7&from=" + std::to_string(end - 7 * 86400) +
                           "&to=" + std::to_string(end);
  const std::string json = get_body(port, week);
  EXPECT_NE(json.find(R"("tier":"minute")"), std::string::npos) << json.substr(0, 300);
  EXPECT_NE(json.find(R"("event":"raise")"), std::string::npos);
  EXPECT_NE(json.find(R"("event":"clear")"), std::string::npos);
  const std::string csv = talk(port, "GET " + week + "&format=csv HTTP/1.1\r\n\r\n");
  EXPECT_NE(csv.find("Content-Type: text/csv"), std::string::npos) << csv.substr(0, 300);
  EXPECT_NE(csv.find("\r\n\r\ntime,dc.voltage.min,"), std::string::npos);
  EXPECT_EQ(
      talk(port, "GET /api/history?data_id=7&from=x HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 400", 0),
      0u);

  const std::string profile = temp_path("chromium");
  std::vector<std::string> chromium = {"/usr/bin/chromium",
                                       "--headless",
                                       "--no-sandbox",
                                       "--disable-gpu",
                                       "--disable-background-networking",
                                       "--disable-component-update",
                                       "--disable-sync",
                                       "--no-first-run",
                                       "--user-data-dir=" + profile,
                                       "--virtual-time-budget=8000",
                                       "--window-size=1280,1240"};
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  std::vector<std::string> dump = chromium;
  dump.insert(dump.end(), {"--dump-dom", url});
  std::string dom;
  ASSERT_TRUE(run_to_end(dump, {"HOME=" + profile}, &dom));
  for (const char* text :
       {"Trends, data_id 7", "DC bus: voltage and load current", "AC phases, line 1",
        "Rectifiers: total current", "dygraph-title", "data-tier=\"minute\"",
        "alarm-mark alarm-raise", "alarm-mark alarm-clear", "交流输入停电告警"})
    EXPECT_NE(dom.find(text), std::string::npos) << text << "\n" << dom.substr(0, 4000);
  EXPECT_EQ(dom.find("data-points=\"0\""), std::string::npos) << "a chart without data";
  const std::string shot = std::string(KLX_BIN_DIR) + "/../artefacts/status-page-trends.png";
  mkdir((std::string(KLX_BIN_DIR) + "/../artefacts").c_str(), 0755);
  std::vector<std::string> picture = chromium;
  picture.insert(picture.end(), {"--screenshot=" + shot, url});
  EXPECT_TRUE(run_to_end(picture, {"HOME=" + profile}));
  EXPECT_EQ(host.finish(SIGTERM), 0) << slurp(host.err);
}

}  // namespace
