#include "service_notify.h"

#include <cstdlib>

#ifdef KLX_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace klxhost {
namespace {

#ifdef KLX_HAVE_SYSTEMD
void send(const char* state) { sd_notify(0, state); }
#else
void send(const char*) {}
#endif

// The loop passes at least every 100 ms, so pings keep their cadence as long as it runs; a
// stuck loop stops them and the service manager restarts the host.
class ServiceNotifier : public ExportSink {
 public:
  explicit ServiceNotifier(std::chrono::microseconds watchdog) : every_(watchdog / 2) {}

  void loop_pass(std::chrono::steady_clock::time_point now) override {
    if (every_.count() <= 0 || now < next_) return;
    send("WATCHDOG=1");
    next_ = now + every_;
  }
  void stopping() override { send("STOPPING=1"); }

 private:
  std::chrono::microseconds every_;
  std::chrono::steady_clock::time_point next_{};
};

}  // namespace

void notify_ready() { send("READY=1"); }

std::unique_ptr<ExportSink> make_service_notifier() {
  if (!std::getenv("NOTIFY_SOCKET")) return nullptr;
  uint64_t usec = 0;
#ifdef KLX_HAVE_SYSTEMD
  if (sd_watchdog_enabled(0, &usec) <= 0) usec = 0;
#endif
  return std::make_unique<ServiceNotifier>(std::chrono::microseconds(usec));
}

}  // namespace klxhost
