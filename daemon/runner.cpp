#include "runner.h"

#include <poll.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>

#include "config.h"
#include "diag_line.h"
#include "export_setup.h"
#include "export_sink.h"
#include "host_events.h"
#include "hub.h"
#include "json_out.h"
#include "klx/device_setup.h"
#include "klx/frame.h"
#include "klx/hex.h"
#include "klx/link.h"
#include "klx/plugin.h"
#include "klx/pmbus_protocol.h"
#include "klx/poll_loop.h"
#include "klx/round_diagnosis.h"
#include "klx/site_model.h"
#include "ops_sinks.h"
#include "ports.h"
#include "process_guard.h"
#include "service_notify.h"
#include "summary.h"

namespace klxhost {
namespace {

using Clock = klx::SteadyClock;
using std::chrono::milliseconds;

constexpr int kIoctlOutput = 64;
// The device spaces its rounds by this much; a failing line backs off no further.
constexpr milliseconds kRoundInterval{2000};

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
  std::unique_ptr<DeviceHub> hub;
  std::unique_ptr<HostEvents> events;
  size_t line = 0;  // in the loop
};

// Devices naming the same port share its line; the first one sets it up.
struct LineSetup {
  std::string port;
  size_t first = 0;  // the first device on it
  int baud = 0;
  bool rs485 = false;
  std::vector<uint8_t> addresses;
  std::unique_ptr<klx::Link> link;  // until the loop takes it
};

class Runner : public klx::PollObserver {
 public:
  explicit Runner(const Options& o) : o_(o) {}
  ~Runner();
  int run();

 private:
  int setup();
  int open_database(std::string& error);
  int open_services(const SiteConfig& site);
  int setup_device(size_t index, Slot& s);
  int attach_line(size_t index, Slot& s);
  int open_line(LineSetup& l);
  void restore(Slot& s);
  int poll_rounds();
  void after_rounds();
  void wait_until(Clock::time_point until);
  bool watchdog(Clock::time_point now);
  klx::Link& link(const Slot& s) { return loop_->line(s.line); }
  size_t index_of(const Slot& s) const { return static_cast<size_t>(&s - slots_.data()); }
  // The loop's observer.
  void round_completed(size_t device, unsigned round, Clock::time_point now) override;
  void line_changed(size_t line, bool up) override;
  void loop_pass(Clock::time_point now) override;
  void upkeep(Clock::time_point now);
  void get_value(Slot& s, const std::string& name);
  void ioctl(Slot& s, const IoctlRequest& r);
  void await_answer(Slot& s);
  void print_counters(const Slot& s) const;

  const Options& o_;
  Trace trace_;
  Capture capture_;
  klx::RecordCache cache_{""};
  std::unique_ptr<klx::HistoryDb> db_;
  Clock::time_point next_upkeep_{};
  std::unique_ptr<klx::Plugin> plugin_;
  std::vector<Slot> slots_;
  std::vector<LineSetup> lines_;
  std::unique_ptr<klx::PollLoop> loop_;
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
  ignore_stray_signals();
  if (const int rc = setup()) return rc;
  notify_ready();
  catch_signals();
  watch_reopen_signal();
  int rc = poll_rounds();
  if (rc == kExitOk && !g_stop) after_rounds();
  for (ExportSink* sink : sink_list_) sink->stopping();
  for (const auto& s : slots_) print_counters(s);
  std::ostringstream end;  // written whole, as every diagnostic line
  bool ok = report_storage(end, trace_, cache_, db_.get());
  ok = report_outputs(end, capture_) && ok;
  write_diag(end.str());
  if ((!ok || !diag_ok()) && rc == kExitOk) rc = kExitFailure;
  return rc;
}

int Runner::setup() {
  SiteConfig site;
  try {
    site = o_.config.empty() ? default_site_config() : load_site_config(o_.config);
  } catch (const ConfigError& e) {
    DiagLine() << "klx-host: " << e.what() << "\n";
    return kExitUsage;
  }
  for (const auto& w : site.warnings) DiagLine() << "klx-host: " << w << "\n";
  if (!o_.port.empty()) site.devices[0].port = o_.port;
  if (const int rc = open_services(site)) return rc;
  if (const int rc = open_mqtt(o_, site, db_.get(), sinks_, sink_list_)) return rc;
  if (const int rc = open_snmp(o_, site, sinks_, sink_list_)) return rc;
  std::vector<DeviceConfig>& devices = site.devices;
  std::string error;
  plugin_ = klx::Plugin::load(o_.plugin, error);
  if (!plugin_) {
    DiagLine() << "klx-host: " << error << "\n";
    return kExitFailure;
  }
  slots_.resize(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    slots_[i].cfg = std::move(devices[i]);
    try {
      if (const int rc = setup_device(i, slots_[i])) return rc;
    } catch (const std::exception& e) {
      DiagLine() << "klx-host: device " << i << ": " << e.what() << "\n";
      return kExitFailure;
    }
  }
  loop_ = std::make_unique<klx::PollLoop>(Clock::now());
  for (size_t i = 0; i < lines_.size(); ++i)
    if (const int rc = open_line(lines_[i])) return rc;
  for (auto& s : slots_) loop_->add_device(s.line, s.proto);
  loop_->set_observer(this);
  loop_->set_round_limit(o_.rounds);
  for (const auto& s : slots_) {
    const CounterSources sources{&s.proto->protocol_counters(), &s.proto->frame_counters(),
                                 &loop_->line(s.line).counters(), &s.events->line_health()};
    const std::string port = loop_->line(s.line).transport().describe();
    s.hub->watch(port, sources);
    if (status_) status_->watch(s.cfg.data_id, port, sources);
  }
  return kExitOk;
}

// Devices naming one port share its line: speed and RS-485 mode must agree, addresses differ.
int Runner::attach_line(size_t index, Slot& s) {
  const DeviceConfig& c = s.cfg;
  const int baud = s.dev->baud_rate_;
  for (size_t i = 0; i < lines_.size(); ++i) {
    LineSetup& l = lines_[i];
    if (l.port != c.port) continue;
    const Slot& other = slots_[l.first];
    const auto who = [&] {
      return "devices " + std::to_string(l.first) + " (" + other.label + ") and " +
             std::to_string(index) + " (" + s.label + ") on " + c.port;
    };
    if (l.baud != baud || l.rs485 != c.rs485) {
      DiagLine() << "klx-host: " << who() << ": line settings differ (" << l.baud << " and " << baud
                 << " Bd, rs485 " << (l.rs485 ? "on" : "off") << " and " << (c.rs485 ? "on" : "off")
                 << ")\n";
      return kExitUsage;
    }
    for (uint8_t a : l.addresses)
      if (a == c.address) {
        DiagLine() << "klx-host: " << who() << ": both at address " << int(a) << "\n";
        return kExitUsage;
      }
    l.addresses.push_back(c.address);
    s.line = i;
    return kExitOk;
  }
  LineSetup l;
  l.port = c.port;
  l.first = index;
  l.baud = baud;
  l.rs485 = c.rs485;
  l.addresses.push_back(c.address);
  lines_.push_back(std::move(l));
  s.line = lines_.size() - 1;
  return kExitOk;
}

// The line's timing comes from its first device.
int Runner::open_line(LineSetup& l) {
  const Slot& first = slots_[l.first];
  const DeviceConfig& c = first.cfg;
  const std::string where = "device " + std::to_string(l.first) + " (" + first.label + ")";
  try {
    l.link = std::make_unique<klx::Link>(make_port(c.port, l.addresses, l.baud, c.rs485), l.baud);
  } catch (const PortError& e) {
    DiagLine() << "klx-host: " << where << ": \"port\": " << e.what() << "\n";
    return kExitUsage;
  }
  klx::Link& link = *l.link;
  link.set_answer_timeout(milliseconds(c.answer_timeout_ms));
  link.set_inter_char_timeout(milliseconds(c.inter_char_timeout_ms));
  link.set_quiet_interval(milliseconds(c.quiet_interval_ms));
  link.set_backoff_limit(kRoundInterval);
  bool open = true;
  for (auto& s : slots_)
    if (&lines_[s.line] == &l) {
      s.dev->set_link(&link);
      restore(s);
      open = s.dev->OpenPort() && open;
    }
  if (!open && !link.transport().connecting()) {
    if (link.transport().open_failed_for_good()) {
      DiagLine() << "klx-host: " << where << ": " << link.last_error() << "\n";
      return kExitUsage;
    }
    DiagLine() << "klx-host: " << first.label << ": cannot open " << link.transport().describe()
               << ": " << link.last_error() << "; retrying\n";
  }
  loop_->add_line(std::move(l.link));
  return kExitOk;
}

// A controller whose disk filled up still polls and publishes: a database of ours opens with its
// writes held back (HistoryDb::open), and one that cannot even be created, so that nothing of a
// previous run is lost with it, is done without. Anything else stops the start.
int Runner::open_database(std::string& error) {
  if (o_.db.empty()) return kExitOk;
  bool no_room = false;
  db_ = klx::HistoryDb::open(o_.db, error, &no_room);
  if (db_) {
    const std::string warning = db_->take_warning();
    if (!warning.empty()) DiagLine() << "klx-host: warning: " << warning << "\n";
    return kExitOk;
  }
  if (!no_room) {
    DiagLine() << "klx-host: database " << error << "\n";
    return kExitUsage;
  }
  DiagLine() << "klx-host: database " << error
             << " (disk full?): cannot be created; running without history: no rounds, alarm "
                "events or alarm state are stored until klx-host starts again with room\n";
  return kExitOk;
}

int Runner::open_services(const SiteConfig& site) {
  std::string error;
  if (!o_.trace.empty() && !trace_.open(o_.trace, error)) {
    DiagLine() << "klx-host: trace " << error << "\n";
    return kExitUsage;
  }
  if (!o_.capture.empty() && !capture_.open(o_.capture, error)) {
    DiagLine() << "klx-host: capture " << error << "\n";
    return kExitUsage;
  }
  if (const int rc = open_database(error)) return rc;
  if (db_) db_->set_policy(site.history);
  cache_ = klx::RecordCache(o_.cache);
  if (!cache_.check_path(error)) {
    DiagLine() << "klx-host: cache " << error << "\n";
    return kExitUsage;
  }
  if (!cache_.load(error)) DiagLine() << "klx-host: cache not restored: " << error << "; ignored\n";
  if (auto notifier = make_service_notifier()) {
    sink_list_.push_back(notifier.get());
    sinks_.push_back(std::move(notifier));
  }
  const OpsSettings ops{o_.http.empty() ? site.http.listen : o_.http, site.mqtt.site,
                        db_ ? o_.db : std::string(), site.http.allowed_hosts};
  if (!check_ops_settings(ops)) return kExitUsage;
  return add_ops_sinks(ops, sinks_, sink_list_, status_) ? kExitOk : kExitFailure;
}

int Runner::setup_device(size_t index, Slot& s) {
  const DeviceConfig& c = s.cfg;
  s.label = "data_id " + std::to_string(c.data_id);
  const std::string where = "device " + std::to_string(index) + " (" + s.label + ")";
  s.dev = plugin_->provider().create();
  s.proto = dynamic_cast<PMBusProtocol*>(s.dev);
  if (!s.proto) {
    DiagLine() << "klx-host: " << where << ": the plug-in's device has no protocol layer\n";
    return kExitFailure;
  }
  s.hub = std::make_unique<DeviceHub>(c.data_id, klx::layout_of_settings(c.settings),
                                      HubOutputs{&cache_, db_.get(), &sink_list_});
  s.events = std::make_unique<HostEvents>(
      Services{&trace_, s.hub.get(), db_.get(), capture_.enabled() ? &capture_ : nullptr},
      c.limits);
  s.events->set_line_health(c.line_health);
  if (db_ && !db_->set_layout(c.data_id, klx::layout_of_settings(c.settings)))
    DiagLine() << "klx-host: " << where << ": database: " << db_->last_error() << "\n";
  try {
    klx::set_up_device(*s.proto, s.events.get(), c.data_id, c.address, c.settings,
                       {c.alarm_levels, c.thresholds, c.ao_settings});
  } catch (const std::exception& e) {
    DiagLine() << "klx-host: " << where << ": InitSetting failed: " << e.what() << "\n";
    return kExitUsage;
  }
  return attach_line(index, s);
}

// A restored record is published at once by the device; it does not count as a round.
void Runner::restore(Slot& s) {
  if (o_.cache.empty()) return;
  const auto* entry = cache_.latest(s.cfg.data_id);
  if (!entry) return;
  const std::string blob(entry->record.begin(), entry->record.end());
  const bool ok = s.dev->LoadFromCache(blob);
  DiagLine() << "klx-host: " << s.label << ": cached record " << (ok ? "restored" : "refused")
             << "\n";
}

int Runner::poll_rounds() {
  while (!g_stop) {
    if (reopen_requested()) {
      std::ostringstream lines;
      reopen_files(lines, trace_, capture_);
      write_diag(lines.str());
    }
    const auto now = Clock::now();
    loop_->pass(now);
    if (o_.rounds && loop_->all_done()) return kExitOk;
    if (o_.rounds && !watchdog(now)) return kExitFailure;
    wait_until(loop_->next_due());
  }
  if (o_.rounds && !loop_->all_done()) {
    DiagLine() << "klx-host: interrupted before " << o_.rounds << " rounds\n";
    return kExitFailure;
  }
  return kExitOk;
}

void Runner::round_completed(size_t device, unsigned round, Clock::time_point now) {
  const Slot& s = slots_[device];
  const klx::DeviceModel& m =
      s.hub->round_completed(round, std::time(nullptr), now - loop_->last_progress(device));
  DiagLine() << round_summary(s.cfg.data_id, round, m.plant, s.events->alarms().active_count())
             << "\n";
}

// Told for each device on the line.
void Runner::line_changed(size_t line, bool up) {
  klx::Link& l = loop_->line(line);
  for (const auto& s : slots_) {
    if (s.line != line) continue;
    if (up)
      DiagLine() << "klx-host: " << s.label << ": " << l.transport().describe() << " open\n";
    else
      DiagLine() << "klx-host: " << s.label << ": " << l.transport().describe()
                 << " down: " << l.last_error() << "; retrying\n";
    s.hub->line_changed(up, l.transport().describe(), up ? std::string() : l.last_error());
  }
}

void Runner::loop_pass(Clock::time_point now) {
  for (ExportSink* sink : sink_list_) sink->loop_pass(now);
  upkeep(now);
}

// The history's upkeep in slices of about 2 ms between the loop's work: at most every 100 ms
// while it has work, so a round waits for one slice at most.
void Runner::upkeep(Clock::time_point now) {
  if (!db_ || now < next_upkeep_) return;
  const bool more = db_->maintain(std::time(nullptr));
  next_upkeep_ = now + (more ? std::chrono::milliseconds(100) : std::chrono::seconds(1));
  const std::string warning = db_->take_warning();
  if (!warning.empty()) DiagLine() << "klx-host: " << warning << "\n";
}

// Sleeps until input arrives on a line or `until` (the loop's next due time).
void Runner::wait_until(Clock::time_point until) {
  std::vector<int> descriptors;
  loop_->descriptors(descriptors);
  std::vector<pollfd> fds;
  for (int fd : descriptors) fds.push_back({fd, POLLIN, 0});
  std::chrono::nanoseconds left = std::max(until - Clock::now(), Clock::duration::zero());
  for (ExportSink* sink : sink_list_) sink->want_descriptors(fds, left);
  const auto ns = left.count();
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  const int ready = ppoll(fds.data(), fds.size(), &ts, nullptr);
  for (ExportSink* sink : sink_list_) sink->descriptors_ready(fds);
  if (ready <= 0) return;
  // A line that hangs up stays readable with nothing to read: close it rather than spin.
  for (size_t i = 0; i < descriptors.size(); ++i)
    if ((fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[i].revents & POLLIN))
      loop_->hang_up(fds[i].fd);
}

bool Runner::watchdog(Clock::time_point now) {
  const auto limit = std::chrono::duration<double>(o_.timeout_s);
  for (const auto& s : slots_) {
    const size_t i = index_of(s);
    if (loop_->rounds(i) >= o_.rounds || now - loop_->last_progress(i) < limit) continue;
    const klx::Link& l = loop_->line(s.line);
    DiagLine line;
    line << "klx-host: " << s.label << ": no round completed within " << o_.timeout_s << " s on "
         << loop_->line(s.line).transport().describe();
    if (!l.last_error().empty()) line << " (" << l.last_error() << ")";
    line << "\nklx-host: " << s.label << ": " << klx::diagnose_round(klx::round_facts(*s.proto, l))
         << "\n";
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
    DiagLine() << "klx-host: get " << name << " = " << json_float(v) << "\n";
  } catch (const std::exception& e) {
    trace_.get_error(name, e.what());
    DiagLine() << "klx-host: get " << name << ": " << e.what() << "\n";
  } catch (...) {
    trace_.get_error(name, "unknown exception");
    DiagLine() << "klx-host: get " << name << ": unknown exception\n";
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
  DiagLine() << "klx-host: ioctl " << r.code << ": result " << result << ", written " << written
             << ", out " << klx::to_hex(out, shown) << "\n";
  await_answer(s);
}

void Runner::await_answer(Slot& s) {
  while (!g_stop && link(s).awaiting()) {
    loop_->service_device(index_of(s), Clock::now());
    if (!link(s).awaiting()) break;
    wait_until(link(s).deadline());
  }
}

void Runner::print_counters(const Slot& s) const {
  if (!s.proto || !loop_ || loop_->device_count() <= index_of(s)) return;
  const auto& p = s.proto->protocol_counters();
  const auto& f = s.proto->frame_counters();
  DiagLine() << "klx-host: " << s.label << ": " << loop_->rounds(index_of(s)) << " rounds, "
             << p.commands << " commands, " << p.answers << " answers, " << p.timeouts
             << " time-outs, " << p.rtn_errors << " RTN errors, " << p.bad_frames
             << " bad frames (hex " << f.bad_hex << ", LCHKSUM " << f.bad_lchksum << ", LENID "
             << f.lenid_mismatch << ", CHKSUM " << f.bad_chksum << ", address " << f.wrong_address
             << ", oversize " << f.oversize << "), " << f.echo_skipped << " echoes skipped, "
             << p.unsolicited << " unsolicited, " << p.wrong_group << " answers of another group\n";
}

}  // namespace

int run(const Options& options) { return Runner(options).run(); }

}  // namespace klxhost
