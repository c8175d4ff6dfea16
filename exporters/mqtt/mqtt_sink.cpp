#include "mqtt_sink.h"

#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "alarm_ledger.h"
#include "channel.h"
#include "diag_line.h"
#include "discovery.h"
#include "klx/site_model.h"
#include "points.h"
#include "safe_open.h"
#include "state_doc.h"
#include "topics.h"

namespace klxhost {
namespace {

constexpr size_t kMaxPassword = 4096;
constexpr std::chrono::milliseconds kFlushAtStop{1500};
// Without a round for three round intervals, and at least this long, a device is offline.
constexpr double kMinNoRound = static_cast<double>(klx::kNoRoundTimeout);

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
  return name;
}

// The first line of the file.
std::string read_password(const std::string& path) {
  std::string text, error;
  if (!read_regular_file(path, kMaxPassword, text, error))  // a FIFO would block the start
    throw ConfigError("MQTT password file " + path + ": " + error);
  text = text.substr(0, text.find_first_of("\r\n"));
  if (text.empty()) throw ConfigError("MQTT password file " + path + ": empty");
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)))
    DiagLine() << "klx-host: warning: MQTT password file " << path
               << " is readable by group or others (chmod 600 it)\n";
  return text;
}

std::string client_id(const MqttSettings& s) {
  return s.client_id.empty() ? "klx-" + s.site : s.client_id;
}

// What libmosquitto itself would refuse later (a code point it rejects, a topic over 65,535
// bytes) is refused at start instead, naming the setting.
void check_with_library(const MqttSettings& s) {
  const auto utf8 = [](const std::string& what, const std::string& v) {
    if (v.size() > 65535 ||
        mosquitto_validate_utf8(v.data(), static_cast<int>(v.size())) != MOSQ_ERR_SUCCESS)
      throw ConfigError("MQTT " + what + " \"" + v.substr(0, 64) +
                        "\": not a UTF-8 string MQTT accepts");
  };
  utf8("site", s.site);
  utf8("prefix", s.prefix);
  utf8("client id", client_id(s));
  utf8("username", s.username);
  // The longest topics: a device's with the largest data identifier, and a discovery config's.
  const TopicNames n{s.prefix, s.site, s.discovery_prefix};
  std::vector<std::string> topics = {n.bridge_availability(), n.alarm(4294967295u, "key")};
  if (s.discovery)
    topics.push_back(s.discovery_prefix + "/binary_sensor/" + n.node_id(4294967295u) +
                     "/alarm_key/config");
  for (const auto& t : topics)
    if (mosquitto_pub_topic_check2(t.data(), t.size()) != MOSQ_ERR_SUCCESS ||
        mosquitto_validate_utf8(t.data(), static_cast<int>(t.size())) != MOSQ_ERR_SUCCESS)
      throw ConfigError("MQTT topic \"" + t.substr(0, 64) + "...\": refused by the MQTT library");
  if (s.discovery && mosquitto_sub_topic_check2(n.discovery_status().data(),
                                                n.discovery_status().size()) != MOSQ_ERR_SUCCESS)
    throw ConfigError("MQTT discovery prefix \"" + s.discovery_prefix.substr(0, 64) +
                      "\": refused by the MQTT library");
}

// A prefix may have several levels ("org/klx") but no empty one and no wildcard.
bool valid_prefix(const std::string& p) {
  size_t start = 0;
  for (size_t slash; (slash = p.find('/', start)) != std::string::npos; start = slash + 1)
    if (!valid_topic_level(p.substr(start, slash - start))) return false;
  return valid_topic_level(p.substr(start));
}

// Keys whose alarms the configuration sets up: the plug-in's rules with a level, host limits.
std::map<std::string, int> configured_keys(const DeviceConfig& d) {
  std::map<std::string, int> keys;
  for (const auto& l : d.alarm_levels)
    if (l.second != 0) keys[l.first] = l.second;
  for (const auto& l : d.limits) keys[l.first] = l.second.level;
  return keys;
}

struct Device {
  explicit Device(ExceptionSettings s) : filter(s) {}
  klx::DeviceLayout layout;                        // for a round that comes without a model
  std::map<std::string, int> configured;           // alarm key -> level
  std::map<std::string, std::string> alarms;       // every key known -> its name (text2)
  std::set<std::string> alarm_sent;                // keys whose state the broker has
  std::map<std::string, klx::ActiveAlarm> active;  // for a round without a model
  ExceptionFilter filter;
  std::vector<PointSource> sources;  // the device's structure: where its values live
  std::vector<PointSource> now;      // this round's, kept to save an allocation per round
  std::vector<std::string> objects;  // the value topics in use, by source
  bool shaped = false;
  std::set<std::string> configs;  // the topics of the discovery configs sent (the channel keeps
                                  // their payloads for reconnections)
  bool started = false;
  double state_at = 0;  // when the state document was last sent
  unsigned connections = 0;
  std::time_t last_round = 0;
  double interval = 0;  // between the last two rounds, s
  int online = -1;      // -1 not said yet, 0 offline, 1 online
};

// All devices over one connection: the host's own availability is its last will, each device's
// is a retained message of its own. Each round publishes by exception (exception_filter.h).
class MqttSink : public ExportSink {
 public:
  MqttSink(std::unique_ptr<MqttChannel> channel, TopicNames names, const MqttSettings& s,
           klx::HistoryDb* db)
      : channel_(std::move(channel)),
        names_(std::move(names)),
        discovery_(s.discovery),
        exception_(s.exception),
        ledger_(db, std::time(nullptr)),
        has_db_(db != nullptr) {}

  void add(const DeviceConfig& cfg) {
    Device& d = devices_.emplace(cfg.data_id, Device(exception_)).first->second;
    d.layout = klx::layout_of_settings(cfg.settings);
    d.configured = configured_keys(cfg);
    for (const auto& k : d.configured) d.alarms[k.first];
  }

  // The bridge's "online", then what a previous run left undelivered, in order.
  void start() {
    channel_->put_sticky({names_.bridge_availability(), "online", true});
    const auto left = ledger_.load();
    for (const auto& e : left) {
      send_transition(e);
      if (Device* d = find(e.data_id)) d->alarm_sent.insert(e.transition.key);
    }
    if (!left.empty())
      DiagLine() << "klx-host: mqtt: " << left.size()
                 << " alarm transitions from the previous run to send\n";
  }

  void round_completed(const RoundEvent& e) override {
    Device* d = find(e.data_id);
    if (!d) return;
    klx::DeviceModel own;
    const klx::DeviceModel& m = e.model ? *e.model : fallback_model(*d, e, own);
    const double now = static_cast<double>(e.time);
    point_sources(m, d->now);
    const bool reshaped = restructure(e.data_id, *d);
    const unsigned connections = channel_->connections();
    if (connections != d->connections) {
      // After a reconnection the broker may have lost what it retained: everything again.
      // Nothing was lost before the first connection: the outbox kept it.
      if (connections > 1) d->filter.forget_all(), d->state_at = -1e18;
      d->connections = connections;
    }
    for (size_t i = 0; i < d->sources.size(); ++i) {
      const PointSource& s = d->sources[i];
      const PointValue v = point_value(s, m.plant);
      if (d->filter.offer(i, quantity_of(s), v, now))
        channel_->put_latest({names_.value(e.data_id, d->objects[i]), point_payload(v)});
    }
    const double heartbeat = exception_.state_heartbeat_s;
    if (reshaped || heartbeat <= 0 || now - d->state_at >= heartbeat || now < d->state_at) {
      d->state_at = now;
      channel_->put_latest({names_.state(e.data_id), state_document(m, e.round, e.time)});
    }
    if (!d->started) start_alarms(e.data_id, *d, m, e.time);
    learn_names(e.data_id, *d, m.alarms, reshaped);
    d->interval = e.duration.count();
    d->last_round = e.time;
    set_online(e.data_id, *d, true);
  }

  void alarm_changed(const AlarmEvent& e) override {
    Device* d = find(e.data_id);
    if (!d || !e.transition) return;
    const klx::AlarmTransition& t = *e.transition;
    send_transition(ledger_.add(e.data_id, e.time, t));
    d->alarm_sent.insert(t.key);
    if (t.raised)
      d->active[t.key] = {t.key, t.alarm_id, t.level, t.text1, t.text2, e.time};
    else
      d->active.erase(t.key);
    const auto known = d->alarms.find(t.key);
    if (known == d->alarms.end() || (known->second.empty() && !t.text2.empty())) {
      d->alarms[t.key] = t.text2;
      send_discovery(e.data_id, *d);
    }
    if (klx::is_comm_alarm(t.key) && t.raised) set_online(e.data_id, *d, false);
  }

  // Active before the restart: its retained topic again (the broker may have lost it), with the
  // raise's own number when the ledger kept it.
  void alarm_restored(const AlarmEvent& e) override {
    Device* d = find(e.data_id);
    if (!d || !e.transition) return;
    const auto* known = ledger_.active(e.data_id, e.transition->key);
    const std::string topic = names_.alarm(e.data_id, e.transition->key);
    d->alarm_sent.insert(e.transition->key);
    channel_->put_sticky({topic,
                          known ? alarm_payload(known->transition, known->time, known->seq)
                                : alarm_payload(*e.transition, e.time),
                          true});
  }

  void line_changed(const LineEvent& e) override {
    Device* d = find(e.data_id);
    if (d && !e.up) set_online(e.data_id, *d, false);
  }

  // Acknowledgements and silent devices are looked at once a second, not on every pass.
  void loop_pass(std::chrono::steady_clock::time_point at) override {
    if (at < next_look_) return;
    next_look_ = at + std::chrono::seconds(1);
    settle();
    const std::time_t now = std::time(nullptr);
    for (auto& d : devices_)
      if (d.second.online == 1 && silent(d.second, now)) set_online(d.first, d.second, false);
  }

  // The last states go before "offline".
  void stopping() override {
    const auto deadline = std::chrono::steady_clock::now() + kFlushAtStop;
    channel_->wait_sent(deadline - kFlushAtStop / 3);
    for (auto& d : devices_) set_online(d.first, d.second, false);
    channel_->put_sticky({names_.bridge_availability(), "offline", true});
    channel_->stop(deadline);
    settle();
    const size_t n = ledger_.pending();
    if (!n) return;
    const size_t refused = ledger_.pending_unstored();
    DiagLine line;
    line << "klx-host: mqtt: " << n << " alarm transitions not sent";
    if (has_db_ && refused < n) line << "; kept in the database for the next start";
    if (refused) line << "; " << refused << " of them lost: the database refused them (disk full?)";
    line << "\n";
  }

 private:
  // Raises stay remembered by the connection: sent again after every reconnection.
  void send_transition(const AlarmLedger::Entry& e) {
    const klx::AlarmTransition& t = e.transition;
    MqttMessage m{names_.alarm(e.data_id, t.key), alarm_payload(t, e.time, e.seq), true};
    if (t.raised)
      channel_->remember(m);
    else
      channel_->forget(m.topic);
    channel_->put_ordered(std::move(m), e.seq);
  }

  void settle() {
    for (const uint64_t seq : channel_->take_finished()) ledger_.finished(seq);
    ledger_.retry();
  }

  Device* find(uint32_t data_id) {
    const auto it = devices_.find(data_id);
    return it == devices_.end() ? nullptr : &it->second;
  }

  // The device's picture when the round brings none: the record read through the one reading.
  static const klx::DeviceModel& fallback_model(const Device& d, const RoundEvent& e,
                                                klx::DeviceModel& own) {
    own.data_id = e.data_id;
    own.layout = d.layout;
    if (e.record) own.plant = klx::read_plant(*e.record, d.layout);
    for (const auto& a : d.active) own.alarms.push_back(a.second);
    own.fresh.rounds = e.round;
    own.fresh.last_round = e.time;
    return own;
  }

  // The built-in no-round time-out: three round intervals, at least 60 s.
  static bool silent(const Device& d, std::time_t now) {
    if (d.last_round == 0) return false;
    const double limit = std::max(kMinNoRound, 3 * d.interval);
    return std::difftime(now, d.last_round) > limit;
  }

  // Values that no longer exist (modules beyond the count, a panel gone) are deleted from the
  // broker, and the discovery configs follow. True when the structure changed.
  bool restructure(uint32_t data_id, Device& d) {
    if (d.shaped && d.now == d.sources) return false;
    std::vector<std::string> objects;
    for (const PointSource& s : d.now) objects.push_back(describe(s).object);
    const std::set<std::string> now(objects.begin(), objects.end());
    for (const auto& o : d.objects)
      if (!now.count(o)) channel_->put_latest({names_.value(data_id, o), ""});
    d.filter.reshape(objects);
    d.sources = d.now;
    d.objects = std::move(objects);
    d.shaped = true;
    send_discovery(data_id, d);
    return true;
  }

  // Configured alarms that have not changed yet get their state, so that none reads "unknown".
  void start_alarms(uint32_t data_id, Device& d, const klx::DeviceModel& m, std::time_t now) {
    d.started = true;
    for (const auto& k : d.configured) {
      if (d.alarm_sent.count(k.first)) continue;
      klx::AlarmTransition t;
      t.key = t.alarm_id = k.first;
      t.level = k.second;
      std::time_t since = now;
      for (const auto& a : m.alarms)
        if (a.key == k.first)
          t.raised = true, t.text1 = a.text1, t.text2 = a.text2, since = a.since;
      channel_->put_ordered({names_.alarm(data_id, k.first), alarm_payload(t, since)});
      d.alarm_sent.insert(k.first);
    }
  }

  // Alarm names come from the plug-in's own text, known once an alarm has been active.
  void learn_names(uint32_t data_id, Device& d, const std::vector<klx::ActiveAlarm>& active,
                   bool sent) {
    bool changed = false;
    for (const auto& a : active) {
      std::string& name = d.alarms[a.key];
      if (name.empty() && !a.text2.empty()) name = a.text2, changed = true;
    }
    if (changed && !sent) send_discovery(data_id, d);
  }

  void send_discovery(uint32_t data_id, Device& d) {
    if (!discovery_ || !d.shaped) return;
    std::vector<AlarmEntity> alarms;
    for (const auto& a : d.alarms) alarms.push_back({a.first, a.second});
    std::vector<Point> shape;
    for (const PointSource& s : d.sources) shape.push_back(describe(s));
    const auto configs = discovery_configs(names_, data_id, shape, alarms);
    for (const auto& old : d.configs)
      if (!configs.count(old)) channel_->put_sticky({old, ""});
    d.configs.clear();
    for (const auto& c : configs) {
      d.configs.insert(c.first);
      channel_->put_sticky({c.first, c.second});
    }
  }

  void set_online(uint32_t data_id, Device& d, bool online) {
    if (d.online == static_cast<int>(online)) return;
    d.online = online;
    channel_->put_sticky({names_.availability(data_id), online ? "online" : "offline", true});
  }

  std::unique_ptr<MqttChannel> channel_;
  TopicNames names_;
  bool discovery_;
  ExceptionSettings exception_;
  AlarmLedger ledger_;
  bool has_db_;
  std::map<uint32_t, Device> devices_;
  std::chrono::steady_clock::time_point next_look_{};
};

ChannelParams channel_params(const MqttPlan& plan, const TopicNames& names, size_t devices) {
  const MqttSettings& s = plan.settings;
  ChannelParams p;
  p.url = plan.url;
  p.client_id = client_id(s);
  p.username = plan.url.user.empty() ? s.username : plan.url.user;
  p.password = plan.password;
  p.ca_file = s.ca_file;
  p.will_topic = names.bridge_availability();
  if (s.discovery) p.status_topic = names.discovery_status();
  p.label = "mqtt " + plan.url.host + ":" + std::to_string(plan.url.port);
  // A long outage of a large site keeps more transitions.
  p.max_ordered = std::max<size_t>(4096, 64 * devices);
  return p;
}

}  // namespace

MqttPlan plan_mqtt(const MqttSettings& settings) {
  MqttPlan plan;
  MqttSettings& s = plan.settings;
  s = settings;
  if (s.url.empty()) return plan;
  std::string error;
  if (!parse_mqtt_url(s.url, plan.url, error))
    throw ConfigError("MQTT URL " + redacted_url(s.url) + ": " + error);
  if (s.site.empty()) s.site = host_name();
  if (!valid_topic_level(s.site))
    throw ConfigError("MQTT site \"" + s.site + "\": not a topic level");
  if (!valid_prefix(s.prefix)) throw ConfigError("MQTT prefix \"" + s.prefix + "\": not a topic");
  if (s.discovery && !valid_prefix(s.discovery_prefix))
    throw ConfigError("MQTT discovery prefix \"" + s.discovery_prefix + "\": not a topic");
  check_with_library(s);
  if (!s.password_file.empty()) {
    plan.password = read_password(s.password_file);
    if (!plan.url.tls)
      DiagLine() << "klx-host: warning: the MQTT password goes over plain mqtt://, readable on the "
                    "network; use mqtts://\n";
  }
  return plan;
}

std::unique_ptr<ExportSink> start_mqtt(const MqttSettings& settings, const SiteConfig& site,
                                       klx::HistoryDb* db) {
  const MqttPlan plan = plan_mqtt(settings);
  if (plan.settings.url.empty()) return nullptr;
  const MqttSettings& s = plan.settings;
  TopicNames names{s.prefix, s.site, s.discovery_prefix};
  auto channel = std::make_unique<MqttChannel>(channel_params(plan, names, site.devices.size()));
  std::string error;
  if (!channel->start(error)) throw ConfigError("MQTT: " + error);
  auto sink = std::make_unique<MqttSink>(std::move(channel), names, s, db);
  for (const DeviceConfig& d : site.devices) sink->add(d);
  sink->start();
  return sink;
}

}  // namespace klxhost
