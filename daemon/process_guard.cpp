#include "process_guard.h"

#include <csignal>
#include <iostream>

#include "capture.h"
#include "diag_line.h"
#include "line_file.h"

namespace klxhost {
namespace {

volatile std::sig_atomic_t g_reopen = 0;
extern "C" void on_hangup(int) { g_reopen = 1; }

void set_handler(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

}  // namespace

void ignore_stray_signals() {
  for (int sig : {SIGPIPE, SIGXFSZ, SIGUSR1, SIGHUP}) set_handler(sig, SIG_IGN);
}

void watch_reopen_signal() { set_handler(SIGHUP, on_hangup); }

bool reopen_requested() {
  if (!g_reopen) return false;
  g_reopen = 0;
  return true;
}

void reopen_files(std::ostream& out, LineFile& trace, LineFile& capture) {
  std::string error;
  if (!trace.reopen(error)) out << "klx-host: SIGHUP: trace not reopened: " << error << "\n";
  if (!capture.reopen(error)) out << "klx-host: SIGHUP: capture not reopened: " << error << "\n";
  if (trace.enabled() || capture.enabled()) out << "klx-host: SIGHUP: files reopened\n";
}

bool report_outputs(std::ostream& out, const Capture& capture) {
  if (capture.enabled())
    out << "klx-host: capture: " << capture.written() << " lines written, " << capture.lost()
        << " lost\n";
  std::cout.flush();
  const bool stdout_ok = static_cast<bool>(std::cout);
  if (!stdout_ok) out << "klx-host: standard output: lines lost (closed or full)\n";
  out.flush();
  return capture.lost() == 0 && stdout_ok && static_cast<bool>(std::cerr) && diag_ok();
}

}  // namespace klxhost
