// Every program ends a command-line mistake with exit 2 and a message naming what is wrong; a
// port that can never work is refused at once with a hint, instead of being retried until the
// round time-out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "support/run_tool.h"

namespace {

struct Row {
  const char* program;
  std::vector<std::string> args;
  int status;
  const char* says;  // in the standard error, or the standard output for --help
};

void expect_row(const Row& r) {
  const ToolRun run = run_tool(r.program, r.args);
  std::string line = r.program;
  for (const auto& a : r.args) line += " '" + a + "'";
  EXPECT_EQ(run.status, r.status) << line << "\n" << run.err;
  EXPECT_NE((run.err + run.out).find(r.says), std::string::npos) << line << "\n" << run.err;
}

TEST(CommandLine, MistakesExitTwoAndSayWhat) {
  const Row rows[] = {
      {"klx-host", {"--bogus"}, 2, "not expected: --bogus"},
      {"klx-host", {"--rounds", "0"}, 2, "--rounds: must be a number of at least 1"},
      {"klx-host", {"--timeout", "-1"}, 2, "--timeout: must be a number above 0"},
      {"klx-host", {"--config", "/nonexistent/c.json"}, 2, "No such file or directory"},
      {"klx-host", {"--help"}, 0, "docs/device-options.md"},
      {"klx-record", {"--bogus", "x"}, 2, "not expected: --bogus"},
      {"klx-record", {}, 2, "Exactly 1 option"},
      {"klx-history", {"--bogus"}, 2, "not expected: --bogus"},
      {"klx-sim", {"--pty", "--bogus"}, 2, "not expected: --bogus"},
      {"klx-sim", {"--pty", "--address", "0"}, 2, "--address"},
      {"klx-probe", {"--bogus"}, 2, "unknown option --bogus"},
      {"klx-probe", {"--help"}, 0, "usage: klx-probe"},
      // Started from the test's folder: the plug-in is found from the program's own.
      {"klx-probe", {}, 0, "device type korvantis_419"},
  };
  for (const auto& r : rows) expect_row(r);
}

// Files named on the command line are opened without following a planted link and without
// blocking on a FIFO; listen addresses that cannot be served are command-line mistakes.
TEST(CommandLine, FilesAndAddressesThatCannotWorkExitTwo) {
  const std::string fifo = temp_path("fifo"), link = temp_path("link");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink(temp_path("elsewhere").c_str(), link.c_str()), 0);
  const Row rows[] = {
      {"klx-host", {"--capture", link}, 2, "is a symbolic link"},
      {"klx-host", {"--trace", link}, 2, "is a symbolic link"},
      {"klx-host", {"--capture", fifo}, 2, "is not a regular file"},
      {"klx-host", {"--config", fifo}, 2, "is not a regular file"},
      {"klx-host",
       {"--mqtt", "mqtt://u@127.0.0.1:1", "--mqtt-password-file", fifo},
       2,
       "is not a regular file"},
      {"klx-host", {"--http", ":0"}, 2, "is not [HOST:]PORT"},
      {"klx-host", {"--http", "70000"}, 2, "is not [HOST:]PORT"},
      {"klx-host", {"--http", ""}, 2, "must not be empty"},
  };
  for (const auto& r : rows) expect_row(r);
}

// A pseudo-terminal that "another program" (this test) holds locked, as a running klx-host would.
struct LockedPty {
  int master = -1, slave = -1;
  std::string path;
  LockedPty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    path = ptsname(master);
    slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (slave >= 0) flock(slave, LOCK_EX);
  }
  ~LockedPty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

TEST(BadPorts, RefusedAtOnceWithAHint) {
  const std::string file = temp_path("not-a-tty");
  std::ofstream(file) << "x";
  LockedPty busy;
  ASSERT_GE(busy.slave, 0);
  const std::pair<std::string, const char*> rows[] = {
      {"", "--port: must not be empty"},
      {"/dev/klx-no-such-port", "No such file or directory (no such serial device"},
      {file, "(not a serial device)"},
      {"/", "Is a directory (not a serial device)"},
      {busy.path, "already in use (another program has the port open"},
  };
  // --timeout 30: a retried port would end in exit 1 after it, not in exit 2 at once.
  for (const auto& [port, says] : rows)
    expect_row({"klx-host", {"--port", port, "--rounds", "1", "--timeout", "30"}, 2, says});
}

// The main job (scripts/run) as a newcomer first sees it: the whole power system.
TEST(MainJob, ShowsAcRectifiersAndDc) {
  const ToolRun r = run_tool("klx-host", {"--port", "sim", "--rounds", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("round 1: AC1 230.1/229.4/231.2 V 50 Hz, AC2 "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("; rectifiers 6 at 53.5 V 60.9 A; DC 53.5 V "), std::string::npos) << r.err;
}

// A device without the DC section the default configuration polls: the run ends saying so.
TEST(NoRound, SaysWhichSectionTheDeviceRefuses) {
  const std::string model = temp_path("no-dc.json");
  std::ofstream(model) << R"({"ac":{"lines":[{"a":230,"b":230,"c":230,"f":50}]},)"
                       << R"("rectifiers":{"voltage":53.5,"modules":[{"current":10}]}})";
  const ToolRun r =
      run_tool("klx-host", {"--port", "sim:" + model, "--rounds", "1", "--timeout", "1"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("the last to 0x42/0x41; has_dc is set but the device has no DC section"),
            std::string::npos)
      << r.err;
}

}  // namespace
