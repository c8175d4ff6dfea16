// klx-sim: the power-system simulator on a pseudo-terminal, a TCP port or a serial device, for
// runs of the host (or of any other master) without a power system on the desk.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "cli_exit.h"
#include "line_server.h"
#include "ports.h"
#include "sim/simulator.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

// SIGINT and SIGTERM stay blocked except inside the servers' waits, so a signal always ends the
// wait it arrives in.
void catch_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, nullptr);
}

struct Options {
  std::string model;
  int address = 1;
  bool pty = false;
  int listen_port = -1;
  std::string serial;
  std::string bind = "127.0.0.1";
  int baud = 9600;
  unsigned drop_after = 0;
  bool verbose = false;
};

int serve_pty(LineServer& server) {
  const PtyPair p = open_pty();
  std::cout << p.path << std::endl;
  server.serve(p.master, g_stop);
  return 0;
}

int serve_tcp(LineServer& server, const Options& o) {
  int port = 0;
  const int listener = listen_tcp(o.bind, o.listen_port, port);
  std::cout << port << std::endl;
  std::cerr << "klx-sim: listening on " << o.bind << ":" << port << "\n";
  while (!g_stop) {
    const int fd = accept_client(listener, g_stop);
    if (fd < 0) break;
    std::cerr << "klx-sim: client connected\n";
    const bool dropped = server.serve(fd, g_stop) == LineServer::End::Dropped;
    close(fd);
    if (dropped)
      std::cerr << "klx-sim: connection closed after " << o.drop_after << " answers\n";
    else if (!g_stop)
      std::cerr << "klx-sim: client gone\n";
  }
  close(listener);
  return 0;
}

int serve_serial(LineServer& server, const Options& o) {
  const int fd = open_serial(o.serial, o.baud);
  const bool closed = server.serve(fd, g_stop) == LineServer::End::Closed;
  close(fd);
  if (closed) std::cerr << "klx-sim: " << o.serial << " closed\n";
  return closed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Power-system simulator: answers the host's commands from a model."};
  Options o;
  app.add_option("--model", o.model, "model file (JSON); the built-in model without it")
      ->check(CLI::ExistingFile);
  app.add_option("--address", o.address, "device address")->check(CLI::Range(1, 254));
  auto* where = app.add_option_group("line", "where to serve");
  where->add_flag("--pty", o.pty, "a new pseudo-terminal; its path is the first line of output");
  auto* listen =
      where->add_option("--listen", o.listen_port, "a TCP port (0: any free port, printed first)");
  listen->check(CLI::Range(0, 65535));
  where->add_option("--serial", o.serial, "a serial device");
  where->require_option(1);
  app.add_option("--bind", o.bind, "address to listen on with --listen");
  app.add_option("--baud", o.baud, "line speed with --serial");
  app.add_option("--drop-after", o.drop_after,
                 "with --listen: close each connection after N answers (a device server that "
                 "drops its link)")
      ->needs(listen);
  app.add_flag("-v,--verbose", o.verbose, "log every command and answer to standard error");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return klxcli::exit_code(app, e);
  }

  std::unique_ptr<klx::Peer> peer;
  try {
    peer = sim::make_simulator(o.model, static_cast<uint8_t>(o.address));
  } catch (const std::exception& e) {
    std::cerr << "klx-sim: " << e.what() << "\n";
    return 2;
  }
  catch_signals();
  LineServer server(*peer, o.verbose, o.drop_after);
  try {
    if (o.pty) return serve_pty(server);
    if (o.listen_port >= 0) return serve_tcp(server, o);
    return serve_serial(server, o);
  } catch (const std::exception& e) {
    std::cerr << "klx-sim: " << e.what() << "\n";
    return 1;
  }
}
