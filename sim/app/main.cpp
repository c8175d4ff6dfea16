// klx-sim: the power-system simulator on a pseudo-terminal, a TCP port or a serial device, for
// runs of the host (or of any other master) without a power system on the desk.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli_exit.h"
#include "klx/transport.h"
#include "line_server.h"
#include "ports.h"
#include "sim/bus.h"
#include "sim/noise.h"
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
  std::vector<std::string> devices;  // ADDRESS[:MODEL]
  bool pty = false;
  int listen_port = -1;
  std::string serial;
  std::string bind = "127.0.0.1";
  int baud = 9600;
  int answer_baud = 0;  // with --pty: answer only at this speed (0: any)
  unsigned drop_after = 0;
  unsigned idle_timeout = 60;
  bool verbose = false;
  int noise_seed = -1;
};

// "2:b.json" is the model of b.json at address 2; "2" alone the built-in model.
sim::LineDevice device_of(const std::string& arg) {
  const size_t colon = arg.find(':');
  const std::string number = arg.substr(0, colon);
  char* end = nullptr;
  const long address = std::strtol(number.c_str(), &end, 10);
  if (number.empty() || *end != '\0' || address < 1 || address > 254)
    throw std::runtime_error("--device " + arg + ": expected ADDRESS[:MODEL], ADDRESS 1 to 254");
  const std::string path = colon == std::string::npos ? "" : arg.substr(colon + 1);
  return {static_cast<uint8_t>(address),
          path.empty() ? sim::default_model() : sim::load_model_file(path)};
}

std::unique_ptr<klx::Peer> make_peer(const Options& o) {
  if (o.devices.empty()) return sim::make_simulator(o.model, static_cast<uint8_t>(o.address));
  std::vector<sim::LineDevice> line;
  for (const auto& arg : o.devices) line.push_back(device_of(arg));
  return sim::make_line(std::move(line));
}

// A pseudo-terminal carries no signal, but its settings are shared by both ends: the speed the
// master set on its end is what a device on a real line would have to match.
Session::Gate speed_gate(int slave, int baud) {
  const speed_t want = klx::termios_speed(baud);
  return [slave, want] {
    termios tio{};
    return tcgetattr(slave, &tio) == 0 && cfgetospeed(&tio) == want;
  };
}

int serve_pty(LineServer& server, const Options& o) {
  const PtyPair p = open_pty();
  if (o.answer_baud) server.set_gate(speed_gate(p.slave, o.answer_baud));
  std::cout << p.path << std::endl;
  server.serve(p.master, g_stop);
  return 0;
}

int serve_tcp(LineServer& server, const Options& o) {
  int port = 0;
  const int listener = listen_tcp(o.bind, o.listen_port, port);
  std::cout << port << std::endl;
  std::cerr << "klx-sim: listening on " << o.bind << ":" << port << "\n";
  if (!is_loopback(o.bind))
    std::cerr << "klx-sim: warning: " << o.bind
              << " is not a loopback address: other machines can command the simulator\n";
  server.serve_clients(listener, g_stop);
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
  auto* model =
      app.add_option("--model", o.model,
                     "model file (JSON; one device, or a list of devices); the built-in model "
                     "without it")
          ->check(CLI::ExistingFile);
  auto* address =
      app.add_option("--address", o.address, "device address")->check(CLI::Range(1, 254));
  app.add_option("--device", o.devices,
                 "ADDRESS[:MODEL]: a device on the line (repeat for several; the built-in model "
                 "without MODEL)")
      ->excludes(model)
      ->excludes(address);
  auto* where = app.add_option_group("line", "where to serve");
  auto* pty = where->add_flag("--pty", o.pty,
                              "a new pseudo-terminal; its path is the first line of output");
  auto* listen =
      where->add_option("--listen", o.listen_port, "a TCP port (0: any free port, printed first)");
  listen->check(CLI::Range(0, 65535));
  where->add_option("--serial", o.serial, "a serial device");
  where->require_option(1);
  app.add_option("--bind", o.bind, "address to listen on with --listen");
  app.add_option("--baud", o.baud, "line speed with --serial");
  app.add_option("--answer-baud", o.answer_baud,
                 "with --pty: answer only while the other end has set this speed (a device "
                 "that hears noise at any other)")
      ->check(CLI::IsMember({1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}))
      ->needs(pty);
  app.add_option("--drop-after", o.drop_after,
                 "with --listen: close each connection after N answers (a device server that "
                 "drops its link)")
      ->needs(listen);
  app.add_option("--idle-timeout", o.idle_timeout,
                 "with --listen: drop a client that sends and takes nothing for this many "
                 "seconds (0: never)")
      ->needs(listen);
  app.add_option("--noise", o.noise_seed,
                 "SEED: values wander around the model's (currents 1 %, voltages 0.05 V, "
                 "frequency 0.02 Hz) and the load steps 15 % every hour; off by default")
      ->check(CLI::Range(0, 2147483647));
  app.add_flag("-v,--verbose", o.verbose, "log every command and answer to standard error");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return klxcli::exit_code(app, e);
  }

  if (o.noise_seed >= 0) sim::force_noise(static_cast<uint32_t>(o.noise_seed));
  std::unique_ptr<klx::Peer> peer;
  try {
    peer = make_peer(o);
  } catch (const std::exception& e) {
    std::cerr << "klx-sim: " << e.what() << "\n";
    return 2;
  }
  catch_signals();
  ServeLimits limits;
  limits.drop_after = o.drop_after;
  limits.idle = std::chrono::seconds(o.idle_timeout);
  LineServer server(*peer, o.verbose, limits);
  try {
    if (o.pty) return serve_pty(server, o);
    if (o.listen_port >= 0) return serve_tcp(server, o);
    return serve_serial(server, o);
  } catch (const std::exception& e) {
    std::cerr << "klx-sim: " << e.what() << "\n";
    return 1;
  }
}
