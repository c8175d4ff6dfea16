#include "runner.h"

#include <poll.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <iostream>
#include <memory>

#include "config.h"
#include "export_sink.h"
#include "host_events.h"
#include "json_out.h"
#include "klx/frame.h"
#include "klx/hex.h"
#include "klx/link.h"
#include "klx/pmbus_protocol.h"
#include "klx/round_diagnosis.h"
#include "ops/ops_sinks.h"
#include "ops/service_notify.h"
#include "plugin.h"
#include "ports.h"
#include "summary.h"

namespace klxhost {
namespace {

using Clock = klx::SteadyClock;
using std::chrono::milliseconds;

// RefreshStatus is offered this often; the device itself spaces its rounds by 2 s.
constexpr milliseconds kTick{100};
constexpr milliseconds kResetEvery{10000};
constexpr int kIoctlOutput = 64;

volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_signal(int) { g_stop = 1; }

void catch_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

struct Slot {
  DeviceConfig cfg;
  std::string label;           // "data_id 7"
  KLXSPDevice* dev = nullptr;  // owned; destroyed through its virtual destructor
  PMBusProtocol* proto = nullptr;
  std::unique_ptr<klx::Link> link;
  std::unique_ptr<HostEvents> events;
  unsigned rounds = 0;
  Clock::time_point last_progress;
  bool said_down = false;
};

class Runner {
 public:
  explicit Runner(const Options& o) : o_(o) {}
  ~Runner();
  int run();

 private:
  int setup();
  int open_services();
  int setup_device(size_t index, Slot& s);
  void restore(Slot& s);
  int poll_rounds();
  void after_rounds();
  void service(Slot& s, Clock::time_point now);
  void wait_until(Clock::time_point until);
  bool rounds_done() const;
  bool watchdog(Clock::time_point now);
  void get_value(Slot& s, const std::string& name);
  void ioctl(Slot& s, const IoctlRequest& r);
  void await_answer(Slot& s);
  void print_counters(const Slot& s) const;
  void tell_round(const Slot& s, Clock::time_point now);
  void tell_line(const Slot& s, bool up);

  const Options& o_;
  Trace trace_;
  Capture capture_;
  klx::RecordCache cache_{""};
  std::unique_ptr<klx::HistoryDb> db_;
  std::unique_ptr<Plugin> plugin_;
  std::vector<Slot> slots_;
  // Export services (MQTT, HTTP); the loop only hands them copies of what happened.
  std::vector<std::unique_ptr<ExportSink>> sinks_;
  std::vector<ExportSink*> sink_list_;
  StatusEndpoint* status_ = nullptr;  // the HTTP endpoint among the sinks, if any
};

Runner::~Runner() {
  for (auto& s : slots_) {
    if (s.dev) {
      s.dev->set_link(nullptr);
      s.dev->set_events(nullptr);
    }
    delete s.dev;
    s.dev = nullptr;
  }
  slots_.clear();
  plugin_.reset();
}

int Runner::run() {
  if (const int rc = setup()) return rc;
  notify_ready();
  catch_signals();
  int rc = poll_rounds();
  if (rc == kExitOk && !g_stop) after_rounds();
  for (ExportSink* sink : sink_list_) sink->stopping();
  for (const auto& s : slots_) print_counters(s);
  if (!report_storage(std::cerr, trace_, cache_, db_.get()) && rc == kExitOk) rc = kExitFailure;
  return rc;
}

int Runner::setup() {
  std::vector<DeviceConfig> devices;
  std::vector<std::string> warnings;
  try {
    devices = o_.config.empty() ? default_config() : load_config(o_.config, warnings);
  } catch (const ConfigError& e) {
    std::cerr << "klx-host: " << e.what() << "\n";
    return kExitUsage;
  }
  for (const auto& w : warnings) std::cerr << "klx-host: " << w << "\n";
  if (!o_.port.empty()) devices[0].port = o_.port;
  for (size_t i = 0; i < devices.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (devices[i].port == devices[j].port && is_physical_port(devices[i].port)) {
        std::cerr << "klx-host: devices " << j << " and " << i << " share the port "
                  << devices[i].port << ", which is not supported\n";
        return kExitUsage;
      }
  if (const int rc = open_services()) return rc;
  std::string error;
  plugin_ = Plugin::load(o_.plugin, error);
  if (!plugin_) {
    std::cerr << "klx-host: " << error << "\n";
    return kExitFailure;
  }
  slots_.resize(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    slots_[i].cfg = std::move(devices[i]);
    try {
      if (const int rc = setup_device(i, slots_[i])) return rc;
    } catch (const std::exception& e) {
      std::cerr << "klx-host: device " << i << ": " << e.what() << "\n";
      return kExitFailure;
    }
  }
  for (const auto& s : slots_)
    if (status_)
      status_->watch(
          s.cfg.data_id, s.link->transport().describe(),
          {&s.proto->protocol_counters(), &s.proto->frame_counters(), &s.link->counters()});
  return kExitOk;
}

int Runner::open_services() {
  std::string error;
  if (!o_.trace.empty() && !trace_.open(o_.trace, error)) {
    std::cerr << "klx-host: trace " << error << "\n";
    return kExitUsage;
  }
  if (!o_.capture.empty() && !capture_.open(o_.capture, error)) {
    std::cerr << "klx-host: capture " << error << "\n";
    return kExitUsage;
  }
  if (!o_.db.empty() && !(db_ = klx::HistoryDb::open(o_.db, error))) {
    std::cerr << "klx-host: database " << error << "\n";
    return kExitUsage;
  }
  cache_ = klx::RecordCache(o_.cache);
  if (!cache_.check_path(error)) {
    std::cerr << "klx-host: cache " << error << "\n";
    return kExitUsage;
  }
  if (!cache_.load(error)) std::cerr << "klx-host: cache not restored: " << error << "; ignored\n";
  return add_ops_sinks(o_, sinks_, sink_list_, status_);
}

int Runner::setup_device(size_t index, Slot& s) {
  const DeviceConfig& c = s.cfg;
  s.label = "data_id " + std::to_string(c.data_id);
  const std::string where = "device " + std::to_string(index) + " (" + s.label + ")";
  s.dev = plugin_->provider().create();
  s.proto = dynamic_cast<PMBusProtocol*>(s.dev);
  if (!s.proto) {
    std::cerr << "klx-host: " << where << ": the plug-in's device has no protocol layer\n";
    return kExitFailure;
  }
  s.events = std::make_unique<HostEvents>(
      Services{&trace_, &cache_, db_.get(), &sink_list_, capture_.enabled() ? &capture_ : nullptr},
      c.limits);
  s.dev->set_events(s.events.get());
  s.dev->Init(std::weak_ptr<KLXController>(), c.data_id, c.settings);
  s.proto->address_ = c.address;
  s.dev->alarm_levels_ = c.alarm_levels;
  s.dev->thresholds_ = c.thresholds;
  s.dev->ao_settings_ = c.ao_settings;
  try {
    s.dev->InitSetting(c.settings);
    s.link = std::make_unique<klx::Link>(make_port(c.port, c.address, s.dev->baud_rate_, c.rs485),
                                         s.dev->baud_rate_);
  } catch (const PortError& e) {
    std::cerr << "klx-host: " << where << ": \"port\": " << e.what() << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "klx-host: " << where << ": InitSetting failed: " << e.what() << "\n";
    return kExitUsage;
  }
  s.link->set_answer_timeout(milliseconds(c.answer_timeout_ms));
  s.link->set_inter_char_timeout(milliseconds(c.inter_char_timeout_ms));
  s.link->set_quiet_interval(milliseconds(c.quiet_interval_ms));
  s.dev->set_link(s.link.get());
  restore(s);
  if (!s.dev->OpenPort()) {
    if (s.link->transport().open_failed_for_good()) {
      std::cerr << "klx-host: " << where << ": " << s.link->last_error() << "\n";
      return kExitUsage;
    }
    std::cerr << "klx-host: " << s.label << ": cannot open " << s.link->transport().describe()
              << ": " << s.link->last_error() << "; retrying\n";
    s.said_down = true;
  }
  s.last_progress = Clock::now();
  return kExitOk;
}

// A restored record is published at once by the device; it does not count as a round.
void Runner::restore(Slot& s) {
  if (o_.cache.empty()) return;
  const auto* entry = cache_.latest(s.cfg.data_id);
  if (!entry) return;
  const std::string blob(entry->record.begin(), entry->record.end());
  const bool ok = s.dev->LoadFromCache(blob);
  s.dev->round_flag_ = 0;
  std::cerr << "klx-host: " << s.label << ": cached record " << (ok ? "restored" : "refused")
            << "\n";
}

int Runner::poll_rounds() {
  auto next_tick = Clock::now();
  auto next_reset = next_tick + kResetEvery;
  while (!g_stop) {
    auto now = Clock::now();
    for (auto& s : slots_) service(s, now);
    for (ExportSink* sink : sink_list_) sink->loop_pass(now);
    if (o_.rounds && rounds_done()) return kExitOk;
    if (o_.rounds && !watchdog(now)) return kExitFailure;
    if (now >= next_tick) {
      for (auto& s : slots_)
        if (!o_.rounds || s.rounds < o_.rounds) s.dev->RefreshStatus();
      next_tick = now + kTick;
    }
    if (now >= next_reset) {
      for (auto& s : slots_) s.dev->Reset();
      next_reset = now + kResetEvery;
    }
    wait_until(std::min(next_tick, next_reset));
  }
  if (o_.rounds && !rounds_done()) {
    std::cerr << "klx-host: interrupted before " << o_.rounds << " rounds\n";
    return kExitFailure;
  }
  return kExitOk;
}

// Input first, so that an answer that came in time is never taken for a time-out.
void Runner::service(Slot& s, Clock::time_point now) {
  s.link->maintain(now);
  const bool open = s.link->is_open();
  if (open && s.said_down) {
    std::cerr << "klx-host: " << s.label << ": " << s.link->transport().describe() << " open\n";
    tell_line(s, true);
  }
  s.said_down = open ? false : s.said_down;
  if (open) s.proto->service_input();
  s.proto->service_timeout();
  if (!s.link->is_open() && !s.said_down) {
    std::cerr << "klx-host: " << s.label << ": " << s.link->transport().describe()
              << " down: " << s.link->last_error() << "; retrying\n";
    s.said_down = true;
    tell_line(s, false);
  }
  if (s.dev->round_flag_) {
    s.dev->round_flag_ = 0;
    ++s.rounds;
    tell_round(s, now);
    s.last_progress = now;
    const auto* latest = cache_.latest(s.cfg.data_id);
    std::cerr << round_summary(s.cfg.data_id, s.rounds,
                               latest ? latest->record : std::vector<uint8_t>(),
                               s.events->alarms().active_count())
              << "\n";
  }
}

// Sleeps until input arrives on a line, an in-process answer is due, an answer's time runs
// out, a line may be reopened, or `until`.
void Runner::wait_until(Clock::time_point until) {
  std::vector<pollfd> fds;
  for (auto& s : slots_) {
    klx::Link& l = *s.link;
    if (l.awaiting()) until = std::min(until, l.deadline());
    until = std::min(until, l.transport().next_due());
    if (!l.is_open()) until = std::min(until, l.reconnect_due());
    if (l.is_open() && l.transport().fd() >= 0) fds.push_back({l.transport().fd(), POLLIN, 0});
  }
  const auto left = std::max(until - Clock::now(), Clock::duration::zero());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  if (ppoll(fds.data(), fds.size(), &ts, nullptr) <= 0) return;
  // A line that hangs up stays readable with nothing to read: close it rather than spin.
  for (const auto& p : fds) {
    if (!(p.revents & (POLLHUP | POLLERR | POLLNVAL)) || (p.revents & POLLIN)) continue;
    for (auto& s : slots_)
      if (s.link->is_open() && s.link->transport().fd() == p.fd) s.link->drop("hang-up");
  }
}

bool Runner::rounds_done() const {
  return std::all_of(slots_.begin(), slots_.end(),
                     [this](const Slot& s) { return s.rounds >= o_.rounds; });
}

bool Runner::watchdog(Clock::time_point now) {
  const auto limit = std::chrono::duration<double>(o_.timeout_s);
  for (const auto& s : slots_) {
    if (s.rounds >= o_.rounds || now - s.last_progress < limit) continue;
    std::cerr << "klx-host: " << s.label << ": no round completed within " << o_.timeout_s
              << " s on " << s.link->transport().describe();
    if (!s.link->last_error().empty()) std::cerr << " (" << s.link->last_error() << ")";
    std::cerr << "\nklx-host: " << s.label << ": "
              << klx::diagnose_round(klx::round_facts(*s.proto, *s.link)) << "\n";
    return false;
  }
  return true;
}

// Requests go to the first device, once its rounds are done and polling has stopped.
void Runner::after_rounds() {
  Slot& s = slots_.front();
  for (const auto& name : o_.gets) get_value(s, name);
  for (const auto& r : o_.ioctls) {
    if (g_stop) return;
    ioctl(s, r);
  }
}

void Runner::get_value(Slot& s, const std::string& name) {
  try {
    const float v = s.dev->Get_Value(s.dev->DataId(), name);
    trace_.get_value(name, v);
    std::cerr << "klx-host: get " << name << " = " << json_float(v) << "\n";
  } catch (const std::exception& e) {
    trace_.get_error(name, e.what());
    std::cerr << "klx-host: get " << name << ": " << e.what() << "\n";
  } catch (...) {
    trace_.get_error(name, "unknown exception");
    std::cerr << "klx-host: get " << name << ": unknown exception\n";
  }
}

void Runner::ioctl(Slot& s, const IoctlRequest& r) {
  uint8_t out[kIoctlOutput] = {};
  int written = 0;
  const int result =
      s.dev->DeviceIoControl(r.code, r.input.empty() ? nullptr : r.input.data(),
                             static_cast<int>(r.input.size()), out, kIoctlOutput, written);
  // The count comes from the plug-in: only the part of it that lies in the buffer is shown.
  const size_t shown = written > 0 ? std::min(written, kIoctlOutput) : 0;
  trace_.ioctl(r.code, result, written, out, shown);
  std::cerr << "klx-host: ioctl " << r.code << ": result " << result << ", written " << written
            << ", out " << klx::to_hex(out, shown) << "\n";
  await_answer(s);
}

void Runner::await_answer(Slot& s) {
  while (!g_stop && s.link->awaiting()) {
    service(s, Clock::now());
    if (!s.link->awaiting()) break;
    wait_until(s.link->deadline());
  }
}

void Runner::tell_round(const Slot& s, Clock::time_point now) {
  if (sink_list_.empty()) return;
  const auto* latest = cache_.latest(s.cfg.data_id);
  RoundEvent e;
  e.data_id = s.cfg.data_id;
  e.label = s.label;
  e.round = s.rounds;
  e.time = std::time(nullptr);
  e.record = latest ? &latest->record : nullptr;
  e.duration = now - s.last_progress;
  for (ExportSink* sink : sink_list_) sink->round_completed(e);
}

void Runner::tell_line(const Slot& s, bool up) {
  const LineEvent e{s.cfg.data_id, up, s.link->transport().describe(),
                    up ? std::string() : s.link->last_error()};
  for (ExportSink* sink : sink_list_) sink->line_changed(e);
}

void Runner::print_counters(const Slot& s) const {
  if (!s.proto || !s.link) return;
  const auto& p = s.proto->protocol_counters();
  const auto& f = s.proto->frame_counters();
  std::cerr << "klx-host: " << s.label << ": " << s.rounds << " rounds, "
            << s.link->counters().commands << " commands, " << p.answers << " answers, "
            << p.timeouts << " time-outs, " << p.rtn_errors << " RTN errors, " << p.bad_frames
            << " bad frames (hex " << f.bad_hex << ", LCHKSUM " << f.bad_lchksum << ", LENID "
            << f.lenid_mismatch << ", CHKSUM " << f.bad_chksum << ", address " << f.wrong_address
            << ", oversize " << f.oversize << "), " << f.echo_skipped << " echoes skipped, "
            << p.unsolicited << " unsolicited, " << p.wrong_group << " answers of another group\n";
}

}  // namespace

int run(const Options& options) { return Runner(options).run(); }

}  // namespace klxhost
