#include "snmp_sink.h"

// net-snmp's headers must come in this order.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <iostream>

#include "diag_line.h"
#include "oid_snapshot.h"

namespace klxhost {
namespace {

using Clock = std::chrono::steady_clock;
using snmp::Entry;
using snmp::Kind;
using snmp::Oid;
using snmp::PlantStatus;

constexpr const char* kAppName = "klx-host";
const Oid kSnmpTrapOid{1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
enum Notification { kAlarmRaised = 1, kAlarmCleared, kCommLost, kCommRestored };

std::vector<::oid> to_net(const Oid& o) { return std::vector<::oid>(o.begin(), o.end()); }

// One value into a varbind, with the width net-snmp expects for its type.
void set_value(netsnmp_variable_list* vb, const snmp::Value& v) {
  switch (v.kind) {
    case Kind::integer: {
      const long n = static_cast<long>(v.number);
      snmp_set_var_typed_value(vb, ASN_INTEGER, &n, sizeof n);
      return;
    }
    case Kind::octets:
      snmp_set_var_typed_value(vb, ASN_OCTET_STR, v.text.data(), v.text.size());
      return;
    default: {
      const u_long n = static_cast<u_long>(v.number);
      const u_char type = v.kind == Kind::gauge     ? ASN_GAUGE
                          : v.kind == Kind::counter ? ASN_COUNTER
                                                    : ASN_TIMETICKS;
      snmp_set_var_typed_value(vb, type, &n, sizeof n);
    }
  }
}

struct Pending {
  Oid trap;
  std::vector<Entry> vars;
};

struct Device {
  uint32_t data_id = 0;
  klx::DeviceLayout layout;  // for the model built here when a round brings none
  klx::DeviceModel model;
  bool stale = false;
  Clock::time_point last_round;  // or the start, before the first round
  uint32_t round_ticks = 0;
  uint32_t update_ms = 0;
};

class SnmpSink : public ExportSink {
 public:
  SnmpSink(const SnmpSettings& s, const std::vector<SnmpDevice>& devices) : settings_(s) {
    const auto now = Clock::now();
    for (const auto& c : devices) {
      Device d;
      d.data_id = c.data_id;
      d.layout = c.layout;
      d.model.data_id = c.data_id;
      d.model.layout = d.layout;
      d.last_round = now;
      devices_.push_back(std::move(d));
    }
  }
  ~SnmpSink() override { shut_down(); }

  bool start(std::string& error);
  void round_completed(const RoundEvent& e) override;
  void alarm_changed(const AlarmEvent& e) override;
  void alarm_restored(const AlarmEvent& e) override;
  void line_changed(const LineEvent& e) override;
  void loop_pass(Clock::time_point now) override;
  void stopping() override;
  void want_descriptors(std::vector<pollfd>& fds, std::chrono::nanoseconds& max_wait) override;
  void descriptors_ready(const std::vector<pollfd>& fds) override;

 private:
  static int handle(netsnmp_mib_handler* handler, netsnmp_handler_registration* reg,
                    netsnmp_agent_request_info* info, netsnmp_request_info* requests);
  static int on_master(int, int minor, void*, void* self);
  bool register_subtree(const char* name, const Oid& root);
  void agentx_timing();
  Device* find(uint32_t data_id);
  Device* apply(const AlarmEvent& e);
  void rebuild();
  void notify(unsigned which, const Device& d, std::vector<Entry> vars);
  void send(const Pending& p);
  void flush();
  void shut_down();

  SnmpSettings settings_;
  std::vector<Device> devices_;
  snmp::Snapshot snapshot_;
  Clock::time_point built_;
  bool started_ = false;
  bool connected_ = false;
  std::deque<Pending> queue_;
  uint32_t sequence_ = 0;
  uint32_t dropped_ = 0;
  uint32_t dropped_reported_ = 0;
  size_t first_fd_ = 0, end_fd_ = 0;  // where our descriptors are in the runner's list
  // What a request costs inside the subagent (docs/snmp.md).
  struct Cost {
    uint64_t calls = 0, varbinds = 0;
    Clock::duration total{}, worst{};
    Clock::duration worst_pass{};  // the longest the poll loop waited on net-snmp
  } cost_;
};

SnmpSink* g_sink = nullptr;  // net-snmp's state is process-wide: one subagent per process

// A subagent of `socket` that reads no file and writes none, and whose timers run from the poll
// loop rather than SIGALRM.
void configure_library(const std::string& socket) {
  // A master that went away must not kill the host when the subagent writes to it.
  std::signal(SIGPIPE, SIG_IGN);
  setenv("MIBS", "", 1);  // numeric OIDs only; no MIB files read
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  // The library's certificate index would otherwise make a folder under /var/lib/snmp.
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, "/dev/null");
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket.c_str());
}

bool SnmpSink::start(std::string& error) {
  if (g_sink) {
    error = "one subagent per process";
    return false;
  }
  configure_library(settings_.agentx_socket);
  snmp_enable_stderrlog();
  g_sink = this;
  // net-snmp frees the client arguments of its callbacks at shutdown: it is given none of ours.
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, on_master, nullptr);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, on_master, nullptr);
  if (init_agent(kAppName) != 0) {
    error = "net-snmp's agent library did not start";
    g_sink = nullptr;
    return false;
  }
  started_ = true;
  if (!register_subtree("klx-entity", snmp::kEntPhysicalEntry) ||
      !register_subtree("klx-sensor", snmp::kEntPhySensorEntry) ||
      !register_subtree("klx-power", snmp::klx_mib())) {
    error = "could not register the served subtrees";
    return false;
  }
  init_snmp(kAppName);
  agentx_timing();  // set before init_snmp(), reading the (absent) configuration resets it
  rebuild();
  return true;
}

// The reconnection interval (net-snmp's AgentX ping interval). The AgentX time-out and retries
// keep net-snmp's defaults: with shorter ones a stopped master looks gone, and each reconnection
// to a master that does not accept fills its listen backlog until connect() blocks the loop.
void SnmpSink::agentx_timing() {
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                     static_cast<int>(settings_.agentx_retry_s));
}

bool SnmpSink::register_subtree(const char* name, const Oid& root) {
  const auto o = to_net(root);
  netsnmp_handler_registration* reg =
      netsnmp_create_handler_registration(name, handle, o.data(), o.size(), HANDLER_CAN_RONLY);
  if (!reg) return false;
  return netsnmp_register_handler(reg) == MIB_REGISTERED_OK;
}

int SnmpSink::on_master(int, int minor, void*, void*) {
  SnmpSink* s = g_sink;
  if (!s) return SNMPERR_SUCCESS;
  s->connected_ = minor == SNMPD_CALLBACK_INDEX_START;
  DiagLine() << "klx-host: snmp: " << (s->connected_ ? "connected to" : "lost") << " the master at "
             << s->settings_.agentx_socket << "\n";
  return SNMPERR_SUCCESS;
}

int SnmpSink::handle(netsnmp_mib_handler*, netsnmp_handler_registration* reg,
                     netsnmp_agent_request_info* info, netsnmp_request_info* requests) {
  SnmpSink* self = g_sink;
  if (!self) return SNMP_ERR_GENERR;
  const auto began = Clock::now();
  // The age of the last round moves with the clock: a snapshot is at most a second old.
  if (began - self->built_ > std::chrono::seconds(1)) self->rebuild();
  const Oid within(reg->rootoid, reg->rootoid + reg->rootoid_len);
  for (netsnmp_request_info* r = requests; r; r = r->next) {
    if (r->processed) continue;
    netsnmp_variable_list* vb = r->requestvb;
    const Oid asked(vb->name, vb->name + vb->name_length);
    ++self->cost_.varbinds;
    if (info->mode == MODE_GET) {
      if (const Entry* e = self->snapshot_.find(asked))
        set_value(vb, e->value);
      else
        netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
    } else if (info->mode == MODE_GETNEXT) {
      // Nothing after it here: left unanswered, the master goes on in the next subtree.
      if (const Entry* e = self->snapshot_.next(asked, within)) {
        const auto o = to_net(e->oid);
        snmp_set_var_objid(vb, o.data(), o.size());
        set_value(vb, e->value);
      }
    } else {
      netsnmp_set_request_error(info, r, SNMP_ERR_NOTWRITABLE);
    }
  }
  const auto spent = Clock::now() - began;
  ++self->cost_.calls;
  self->cost_.total += spent;
  self->cost_.worst = std::max(self->cost_.worst, spent);
  return SNMP_ERR_NOERROR;
}

Device* SnmpSink::find(uint32_t data_id) {
  for (auto& d : devices_)
    if (d.data_id == data_id) return &d;
  return nullptr;
}

void SnmpSink::rebuild() {
  std::vector<snmp::DeviceInput> in;
  const std::time_t now = std::time(nullptr);
  for (const auto& d : devices_) {
    const PlantStatus status = d.model.fresh.rounds == 0 ? PlantStatus::no_round
                               : d.stale                 ? PlantStatus::stale
                                                         : PlantStatus::fresh;
    in.push_back({&d.model, status, d.round_ticks, d.update_ms, now});
  }
  snapshot_ = snmp::Snapshot::build(in, {sequence_, dropped_});
  built_ = Clock::now();
}

void SnmpSink::round_completed(const RoundEvent& e) {
  Device* d = find(e.data_id);
  if (!d) return;
  const auto now = Clock::now();
  const auto before = snapshot_.entities();
  const bool had_round = d->model.fresh.rounds > 0;
  if (e.model) {
    d->model = *e.model;
  } else {
    // A runner that hands no model: read the published record through the site model.
    if (e.record) d->model.plant = klx::read_plant(*e.record, d->layout);
    d->model.fresh.rounds = e.round;
    d->model.fresh.last_round = e.time;
  }
  d->update_ms = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(e.duration).count());
  d->round_ticks = static_cast<uint32_t>(netsnmp_get_agent_uptime());
  d->last_round = now;
  const bool back = d->stale;
  d->stale = false;
  rebuild();
  if (back) notify(kCommRestored, *d, {});
  // A module that appears or goes (not the first round's hardware).
  if (had_round && connected_ && before != snapshot_.entities()) send({snmp::kEntConfigChange, {}});
}

// The device's active alarms follow each transition at once; the next round's model agrees.
Device* SnmpSink::apply(const AlarmEvent& e) {
  Device* d = find(e.data_id);
  if (!d || !e.transition) return nullptr;
  const klx::AlarmTransition& t = *e.transition;
  auto& list = d->model.alarms;
  auto at =
      std::lower_bound(list.begin(), list.end(), t.key,
                       [](const klx::ActiveAlarm& a, const std::string& k) { return a.key < k; });
  const bool there = at != list.end() && at->key == t.key;
  if (t.raised && !there)
    list.insert(at, {t.key, t.alarm_id, t.level, t.text1, t.text2, e.time});
  else if (!t.raised && there)
    list.erase(at);
  rebuild();
  return d;
}

// Active before a restart: listed in klxAlarmTable, not notified again.
void SnmpSink::alarm_restored(const AlarmEvent& e) { apply(e); }

void SnmpSink::alarm_changed(const AlarmEvent& e) {
  Device* d = apply(e);
  if (!d) return;
  const klx::AlarmTransition& t = *e.transition;
  const auto octets = [](const std::string& s) {
    return snmp::Value{Kind::octets, 0, s.substr(0, 255)};
  };
  notify(t.raised ? kAlarmRaised : kAlarmCleared, *d,
         {{snmp::notify_object(2), octets(t.key)},
          {snmp::notify_object(3),
           {Kind::integer, static_cast<int>(snmp::severity_of_level(t.level)), {}}},
          {snmp::notify_object(4), {Kind::integer, t.level, {}}},
          {snmp::notify_object(5), octets(t.text1)},
          {snmp::notify_object(6), octets(t.text2)}});
}

void SnmpSink::line_changed(const LineEvent& e) {
  if (Device* d = find(e.data_id)) {
    d->model.fresh.line_up = e.up;
    d->model.fresh.line_error = e.why;
  }
}

// Without a round for stale_after_s a device's values are withdrawn, once, with a notification.
void SnmpSink::loop_pass(Clock::time_point now) {
  const auto limit = std::chrono::duration<double>(settings_.stale_after_s);
  for (auto& d : devices_) {
    if (d.stale || now - d.last_round < limit) continue;
    d.stale = true;
    rebuild();
    notify(kCommLost, d, {});
  }
}

// Every notification carries the plant's entity index and the next sequence number; a gap
// tells a manager that it missed some and should walk klxAlarmTable again.
void SnmpSink::notify(unsigned which, const Device& d, std::vector<Entry> vars) {
  const size_t index = static_cast<size_t>(&d - devices_.data());
  vars.insert(vars.begin(),
              {snmp::notify_object(1), {Kind::integer, snmp::plant_index(index), {}}});
  vars.push_back({snmp::sequence_oid(), {Kind::gauge, ++sequence_, {}}});
  Pending p{snmp::notification_oid(which), std::move(vars)};
  // net-snmp drops what it is given while the master is away: keep it until the master is back.
  if (connected_ && queue_.empty()) return send(p);
  queue_.push_back(std::move(p));
  while (queue_.size() > settings_.notify_queue) {
    queue_.pop_front();
    ++dropped_;
  }
}

void SnmpSink::send(const Pending& p) {
  netsnmp_variable_list* vars = nullptr;
  const auto trap_oid = to_net(kSnmpTrapOid);
  const auto trap = to_net(p.trap);
  snmp_varlist_add_variable(&vars, trap_oid.data(), trap_oid.size(), ASN_OBJECT_ID, trap.data(),
                            trap.size() * sizeof(::oid));
  for (const auto& v : p.vars) {
    const auto name = to_net(v.oid);
    netsnmp_variable_list* vb =
        snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_NULL, nullptr, 0);
    if (vb) set_value(vb, v.value);
  }
  send_v2trap(vars);
  snmp_free_varbind(vars);
}

void SnmpSink::flush() {
  if (!connected_) return;
  while (!queue_.empty()) {
    send(queue_.front());
    queue_.pop_front();
  }
  if (dropped_ != dropped_reported_) {
    DiagLine() << "klx-host: snmp: " << dropped_ - dropped_reported_
               << " notifications dropped while the master was away (queue of "
               << settings_.notify_queue << ")\n";
    dropped_reported_ = dropped_;
  }
}

void SnmpSink::want_descriptors(std::vector<pollfd>& fds, std::chrono::nanoseconds& max_wait) {
  if (!started_) return;
  first_fd_ = fds.size();
  int count = 0, block = 1;
  timeval tv{0, 0};
  netsnmp_large_fd_set set;
  netsnmp_large_fd_set_init(&set, FD_SETSIZE);
  snmp_select_info2(&count, &set, &tv, &block);
  for (int fd = 0; fd < count; ++fd)
    if (NETSNMP_LARGE_FD_ISSET(fd, &set)) fds.push_back({fd, POLLIN, 0});
  end_fd_ = fds.size();
  netsnmp_large_fd_set_cleanup(&set);
  if (!block) {
    const std::chrono::nanoseconds t =
        std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
    max_wait = std::min(max_wait, t);
  }
}

void SnmpSink::descriptors_ready(const std::vector<pollfd>& fds) {
  if (!started_) return;
  const auto began = Clock::now();
  netsnmp_large_fd_set set;
  netsnmp_large_fd_set_init(&set, FD_SETSIZE);
  bool any = false;
  for (size_t i = first_fd_; i < std::min(end_fd_, fds.size()); ++i)
    if (fds[i].revents) {
      NETSNMP_LARGE_FD_SET(fds[i].fd, &set);
      any = true;
    }
  if (any) snmp_read2(&set);
  netsnmp_large_fd_set_cleanup(&set);
  snmp_timeout();
  run_alarms();
  netsnmp_check_outstanding_agent_requests();
  flush();
  cost_.worst_pass = std::max(cost_.worst_pass, Clock::now() - began);
}

void SnmpSink::stopping() {
  if (!started_) return;
  using std::chrono::microseconds;
  const auto us = [](Clock::duration d) {
    return std::chrono::duration_cast<microseconds>(d).count();
  };
  DiagLine() << "klx-host: snmp: " << cost_.calls << " request calls, " << cost_.varbinds
             << " varbinds, " << us(cost_.total) << " us in all, worst call " << us(cost_.worst)
             << " us; worst loop pass in net-snmp " << us(cost_.worst_pass) << " us; " << sequence_
             << " notifications, " << dropped_ << " dropped, " << queue_.size()
             << " still queued\n";
}

void SnmpSink::shut_down() {
  if (g_sink != this) return;
  if (started_) snmp_shutdown(kAppName);
  g_sink = nullptr;
  started_ = false;
}

}  // namespace

std::unique_ptr<ExportSink> start_subagent(const SnmpSettings& settings,
                                           const std::vector<SnmpDevice>& devices,
                                           std::string& error) {
  auto sink = std::make_unique<SnmpSink>(settings, devices);
  if (!sink->start(error)) return nullptr;
  return sink;
}

}  // namespace klxhost
