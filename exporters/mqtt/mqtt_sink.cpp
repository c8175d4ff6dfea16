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
#include "klx/site_model.h"
#include "state_payload.h"
#include "topics.h"

namespace klxhost {
namespace {

constexpr std::streamsize kMaxPassword = 4096;
constexpr std::chrono::milliseconds kFlushAtStop{1500};

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
  return name;
}

// The first line of the file.
std::string read_password(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError("MQTT password file " + path + ": cannot open");
  std::string text(static_cast<size_t>(kMaxPassword) + 1, '\0');
  in.read(&text[0], kMaxPassword + 1);
  if (in.gcount() > kMaxPassword) throw ConfigError("MQTT password file " + path + ": too large");
  text.resize(static_cast<size_t>(in.gcount()));
  text = text.substr(0, text.find_first_of("\r\n"));
  if (text.empty()) throw ConfigError("MQTT password file " + path + ": empty");
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)))
    std::cerr << "klx-host: warning: MQTT password file " << path
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
std::vector<std::string> configured_keys(const DeviceConfig& d) {
  std::set<std::string> keys;
  for (const auto& l : d.alarm_levels)
    if (l.second != 0) keys.insert(l.first);
  for (const auto& l : d.limits) keys.insert(l.first);
  return {keys.begin(), keys.end()};
}

struct Device {
  std::vector<std::string> alarm_keys;
  std::string shape;  // of the discovery configs sent; empty: none yet
  int online = -1;    // -1 not said yet, 0 offline, 1 online
};

// All devices over one connection: the host's own availability is its last will, each device's
// is a retained message of its own.
class MqttSink : public ExportSink {
 public:
  MqttSink(std::unique_ptr<MqttChannel> channel, TopicNames names, bool discovery,
           klx::HistoryDb* db)
      : channel_(std::move(channel)),
        names_(std::move(names)),
        discovery_(discovery),
        ledger_(db, std::time(nullptr)),
        has_db_(db != nullptr) {}

  void add(uint32_t data_id, std::vector<std::string> keys) {
    devices_[data_id].alarm_keys = std::move(keys);
  }

  // The bridge's "online", then what a previous run left undelivered, in order.
  void start() {
    channel_->put_sticky({names_.bridge_availability(), "online", true});
    const auto left = ledger_.load();
    for (const auto& e : left) send_transition(e);
    if (!left.empty())
      std::cerr << "klx-host: mqtt: " << left.size()
                << " alarm transitions from the previous run to send\n";
  }

  void round_completed(const RoundEvent& e) override {
    Device* d = find(e.data_id);
    if (!d) return;
    static const klx::DeviceModel none;
    const Json::Value state = state_payload(e.model ? *e.model : none, e.round, e.time);
    channel_->put_latest({names_.state(e.data_id), compact_json(state), true});
    if (discovery_ && discovery_shape(state) != d->shape) {
      d->shape = discovery_shape(state);
      for (auto& m : discovery_messages(names_, e.data_id, state, d->alarm_keys))
        channel_->put_sticky(std::move(m));
    }
    set_online(e.data_id, *d, true);
  }

  void alarm_changed(const AlarmEvent& e) override {
    Device* d = find(e.data_id);
    if (!d || !e.transition) return;
    const klx::AlarmTransition& t = *e.transition;
    send_transition(ledger_.add(e.data_id, e.time, t));
    if (!known_key(*d, t.key)) {
      d->alarm_keys.push_back(t.key);
      // Before the first round's configs it goes out with them.
      if (discovery_ && !d->shape.empty())
        channel_->put_sticky(alarm_discovery(names_, e.data_id, t.key));
    }
    if (t.key == klx::kCommAlarmId && t.raised) set_online(e.data_id, *d, false);
  }

  // Active before the restart: its retained topic again (the broker may have lost it), with the
  // raise's own number when the ledger kept it.
  void alarm_restored(const AlarmEvent& e) override {
    if (!find(e.data_id) || !e.transition) return;
    const auto* known = ledger_.active(e.data_id, e.transition->key);
    const std::string topic = names_.alarm(e.data_id, e.transition->key);
    channel_->put_sticky({topic,
                          known ? alarm_payload(known->transition, known->time, known->seq)
                                : alarm_payload(*e.transition, e.time),
                          true});
  }

  void line_changed(const LineEvent& e) override {
    Device* d = find(e.data_id);
    if (d && !e.up) set_online(e.data_id, *d, false);
  }

  void loop_pass(std::chrono::steady_clock::time_point) override { settle(); }

  // The last states go before "offline".
  void stopping() override {
    const auto deadline = std::chrono::steady_clock::now() + kFlushAtStop;
    channel_->wait_sent(deadline - kFlushAtStop / 3);
    for (auto& d : devices_) set_online(d.first, d.second, false);
    channel_->put_sticky({names_.bridge_availability(), "offline", true});
    channel_->stop(deadline);
    settle();
    if (const size_t n = ledger_.pending())
      std::cerr << "klx-host: mqtt: " << n << " alarm transitions not sent"
                << (has_db_ ? "; kept in the database for the next start" : "") << "\n";
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
  }

  Device* find(uint32_t data_id) {
    const auto it = devices_.find(data_id);
    return it == devices_.end() ? nullptr : &it->second;
  }

  static bool known_key(const Device& d, const std::string& key) {
    for (const auto& k : d.alarm_keys)
      if (k == key) return true;
    return false;
  }

  void set_online(uint32_t data_id, Device& d, bool online) {
    if (d.online == static_cast<int>(online)) return;
    d.online = online;
    channel_->put_sticky({names_.availability(data_id), online ? "online" : "offline", true});
  }

  std::unique_ptr<MqttChannel> channel_;
  TopicNames names_;
  bool discovery_;
  AlarmLedger ledger_;
  bool has_db_;
  std::map<uint32_t, Device> devices_;
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

MqttPlan plan_mqtt(const Options& o, const MqttSettings& configured) {
  MqttPlan plan;
  MqttSettings& s = plan.settings;
  s = configured;
  if (!o.mqtt_url.empty()) s.url = o.mqtt_url;
  if (!o.mqtt_ca.empty()) s.ca_file = o.mqtt_ca;
  if (!o.mqtt_password_file.empty()) s.password_file = o.mqtt_password_file;
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
      std::cerr << "klx-host: warning: the MQTT password goes over plain mqtt://, readable on the "
                   "network; use mqtts://\n";
  }
  return plan;
}

int open_mqtt(const Options& o, const SiteConfig& site, klx::HistoryDb* db,
              std::vector<std::unique_ptr<ExportSink>>& sinks, std::vector<ExportSink*>& list) {
  MqttPlan plan;
  try {
    plan = plan_mqtt(o, site.mqtt);
  } catch (const ConfigError& e) {
    std::cerr << "klx-host: " << e.what() << "\n";
    return kExitUsage;
  }
  if (plan.settings.url.empty()) return kExitOk;
  const MqttSettings& s = plan.settings;
  TopicNames names{s.prefix, s.site, s.discovery_prefix};
  auto channel = std::make_unique<MqttChannel>(channel_params(plan, names, site.devices.size()));
  std::string error;
  if (!channel->start(error)) {
    std::cerr << "klx-host: MQTT: " << error << "\n";
    return kExitUsage;
  }
  auto sink = std::make_unique<MqttSink>(std::move(channel), names, s.discovery, db);
  for (const DeviceConfig& d : site.devices) sink->add(d.data_id, configured_keys(d));
  sink->start();
  list.push_back(sink.get());
  sinks.push_back(std::move(sink));
  return kExitOk;
}

}  // namespace klxhost
