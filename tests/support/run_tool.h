#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The one way the tests run programs: without a shell, with TZ=UTC and any extra environment
// ("NAME=value", over an inherited variable of that name), giving back what they wrote and how
// they ended.
struct ToolRun {
  int status = -1;  // exit code, 128 + the signal that ended it, or -1 when it did not start
  std::string out;
  std::string err;
};

// A built program (build/bin).
ToolRun run_tool(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {});
// The program at `path`.
ToolRun run_program(const std::string& path, const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {});

// A program left running: its standard output is a pipe, its standard error a file.
struct Background {
  pid_t pid = -1;
  int out_fd = -1;
  std::string err_path;
};
// Standard output goes to a pipe that first_line() reads, or, for a program whose output nobody
// reads, to /dev/null: an undrained pipe fills and stops the program at its next write.
enum class Stdout { pipe, discard };
Background start_tool(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}, Stdout out = Stdout::pipe);
// The first line the program writes (without its line feed); empty if it ends or stays silent
// for `limit_ms`.
std::string first_line(Background& b, int limit_ms = 10000);
// SIGTERM, then its status and its standard error.
ToolRun stop_tool(Background& b);
// Waits for the program to end by itself; its status and standard error.
ToolRun finish_tool(Background& b);

// A daemon for a test (a broker, snmpd): standard output and error appended to `log`; it dies
// with the test process even when that is killed. The process id, or -1.
pid_t spawn_daemon(const std::vector<std::string>& args, const std::string& log);

// A port on the loopback address that is free now, for a socket of `type` (SOCK_STREAM,
// SOCK_DGRAM).
int free_local_port(int type);

// A TCP connection to `port` on the loopback address (a program's --listen), or -1.
int connect_local(int port);

// The whole content of a file; empty when it cannot be read.
std::string slurp(const std::string& path);

// A fresh file path in the test's temporary directory.
std::string temp_path(const std::string& name);

// The environment that runs a child's wall clock `speed` times faster (libfaketime), or nothing
// when libfaketime is not installed.
std::vector<std::string> fast_clock_env(int speed);
