#include "support/run_tool.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/scratch.h"

extern char** environ;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

namespace {

// TZ=UTC and the extra entries, then the parent's variables that they do not set.
struct Env {
  std::vector<std::string> s;
  std::vector<char*> p;
  explicit Env(const std::vector<std::string>& extra) {
    s = {"TZ=UTC"};
    s.insert(s.end(), extra.begin(), extra.end());
    const size_t set_here = s.size();
    for (char** e = environ; *e; ++e) {
      const std::string var(*e);
      const std::string name = var.substr(0, var.find('=') + 1);
      bool overridden = false;
      for (size_t i = 0; i < set_here; ++i) overridden = overridden || s[i].rfind(name, 0) == 0;
      if (!overridden) s.push_back(var);
    }
    for (auto& e : s) p.push_back(&e[0]);
    p.push_back(nullptr);
  }
};

struct Argv {
  std::string path;
  std::vector<std::string> s;
  std::vector<char*> p;
  Argv(const std::string& program_path, const std::vector<std::string>& args) : path(program_path) {
    s.push_back(path);
    s.insert(s.end(), args.begin(), args.end());
    for (auto& a : s) p.push_back(&a[0]);
    p.push_back(nullptr);
  }
};

int wait_exit(pid_t pid) {
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace

// Only async-signal-safe calls after fork(); the death signal is checked against a parent that
// ended before prctl() took effect.
pid_t spawn_daemon(const std::vector<std::string>& args, const std::string& log) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(fd, 1);
    dup2(fd, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fd);
  return pid;
}

int free_local_port(int type) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int connect_local(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string temp_path(const std::string& name) { return klx_test::scratch_path(name); }

// Output goes through files rather than pipes, so a large output cannot stall the child.
ToolRun run_tool(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env) {
  return run_program(std::string(KLX_BIN_DIR) + "/" + program, args, env);
}

ToolRun run_program(const std::string& path, const std::vector<std::string>& args,
                    const std::vector<std::string>& env) {
  const Argv argv(path, args);
  const Env envp(env);
  const std::string out_path = temp_path("out"), err_path = temp_path("err");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ToolRun r;
  pid_t pid;
  if (posix_spawn(&pid, argv.path.c_str(), &fa, nullptr, argv.p.data(), envp.p.data()) == 0)
    r.status = wait_exit(pid);
  posix_spawn_file_actions_destroy(&fa);
  r.out = slurp(out_path);
  r.err = slurp(err_path);
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  return r;
}

Background start_tool(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, Stdout out) {
  const Argv argv(std::string(KLX_BIN_DIR) + "/" + program, args);
  const Env envp(env);
  Background b;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return b;
  b.err_path = temp_path("err");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (out == Stdout::pipe)
    posix_spawn_file_actions_adddup2(&fa, pipe_fds[1], 1);
  else
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, b.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (posix_spawn(&b.pid, argv.path.c_str(), &fa, nullptr, argv.p.data(), envp.p.data()) != 0)
    b.pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(pipe_fds[1]);
  b.out_fd = pipe_fds[0];
  return b;
}

std::string first_line(Background& b, int limit_ms) {
  std::string line;
  char c;
  pollfd p{b.out_fd, POLLIN, 0};
  while (poll(&p, 1, limit_ms) == 1 && read(b.out_fd, &c, 1) == 1) {
    if (c == '\n') return line;
    line += c;
  }
  return "";
}

ToolRun stop_tool(Background& b) {
  ToolRun r;
  if (b.pid > 0) {
    kill(b.pid, SIGTERM);
    r.status = wait_exit(b.pid);
    b.pid = -1;
  }
  if (b.out_fd >= 0) close(b.out_fd), b.out_fd = -1;
  r.err = slurp(b.err_path);
  std::remove(b.err_path.c_str());
  return r;
}

ToolRun finish_tool(Background& b) {
  ToolRun r;
  if (b.pid > 0) r.status = wait_exit(b.pid), b.pid = -1;
  if (b.out_fd >= 0) close(b.out_fd), b.out_fd = -1;
  r.err = slurp(b.err_path);
  std::remove(b.err_path.c_str());
  return r;
}

std::vector<std::string> fast_clock_env(int speed) {
  for (const char* lib : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                          "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
                          "/usr/lib/faketime/libfaketime.so.1"}) {
    if (access(lib, R_OK) != 0) continue;
    // A sanitizer build wants its runtime first; libfaketime preloaded before it is harmless,
    // as the sanitizers do not intercept the clock.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + lib, "FAKETIME=+0 x" + std::to_string(speed),
            "FAKETIME_DONT_FAKE_MONOTONIC=1", "FAKETIME_NO_CACHE=1",
            std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                "verify_asan_link_order=0"};
  }
  return {};
}
