#include "mqtt_sink.h"

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <map>
#include <set>

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
  return text;
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
  std::unique_ptr<MqttChannel> channel;
  std::vector<std::string> alarm_keys;
  std::string shape;  // of the discovery configs sent; empty: none yet
  int online = -1;    // -1 not said yet, 0 offline, 1 online
};

class MqttSink : public ExportSink {
 public:
  MqttSink(TopicNames names, bool discovery) : names_(std::move(names)), discovery_(discovery) {}

  void add(uint32_t data_id, std::unique_ptr<MqttChannel> channel, std::vector<std::string> keys) {
    Device& d = devices_[data_id];
    d.channel = std::move(channel);
    d.alarm_keys = std::move(keys);
  }

  void round_completed(const RoundEvent& e) override {
    Device* d = find(e.data_id);
    if (!d) return;
    static const std::vector<uint8_t> none;
    const Json::Value state = state_payload(e.record ? *e.record : none, e.round, e.time);
    d->channel->put_latest({names_.state(e.data_id), compact_json(state), true});
    if (discovery_ && discovery_shape(state) != d->shape) {
      d->shape = discovery_shape(state);
      for (auto& m : discovery_messages(names_, e.data_id, state, d->alarm_keys))
        d->channel->put_sticky(std::move(m));
    }
    set_online(e.data_id, *d, true);
  }

  void alarm_changed(const AlarmEvent& e) override {
    Device* d = find(e.data_id);
    if (!d || !e.transition) return;
    const klx::AlarmTransition& t = *e.transition;
    d->channel->put_ordered({names_.alarm(e.data_id, t.key), alarm_payload(t, e.time), true});
    if (!known_key(*d, t.key)) {
      d->alarm_keys.push_back(t.key);
      // Before the first round's configs it goes out with them.
      if (discovery_ && !d->shape.empty())
        d->channel->put_sticky(alarm_discovery(names_, e.data_id, t.key));
    }
    if (t.key == klx::kCommAlarmId && t.raised) set_online(e.data_id, *d, false);
  }

  void line_changed(const LineEvent& e) override {
    Device* d = find(e.data_id);
    if (d && !e.up) set_online(e.data_id, *d, false);
  }

  void loop_pass(std::chrono::steady_clock::time_point) override {
    for (auto& d : devices_) d.second.channel->pump();
  }

  void stopping() override {
    for (auto& d : devices_) set_online(d.first, d.second, false);
    const auto deadline = std::chrono::steady_clock::now() + kFlushAtStop;
    for (auto& d : devices_) d.second.channel->stop(deadline);
  }

 private:
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
    d.channel->put_sticky({names_.availability(data_id), online ? "online" : "offline", true});
  }

  TopicNames names_;
  bool discovery_;
  std::map<uint32_t, Device> devices_;
};

ChannelParams channel_params(const MqttPlan& plan, const TopicNames& names, uint32_t data_id,
                             bool several) {
  const MqttSettings& s = plan.settings;
  ChannelParams p;
  p.url = plan.url;
  const std::string id = s.client_id.empty() ? "klx-" + s.site : s.client_id;
  p.client_id = several ? id + "-" + std::to_string(data_id) : id;
  p.username = plan.url.user.empty() ? s.username : plan.url.user;
  p.password = plan.password;
  p.ca_file = s.ca_file;
  p.will_topic = names.availability(data_id);
  if (s.discovery) p.status_topic = names.discovery_status();
  p.label = "mqtt " + plan.url.host + ":" + std::to_string(plan.url.port) + " (data_id " +
            std::to_string(data_id) + ")";
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
    throw ConfigError("MQTT URL " + s.url + ": " + error);
  if (s.site.empty()) s.site = host_name();
  if (!valid_topic_level(s.site))
    throw ConfigError("MQTT site \"" + s.site + "\": not a topic level");
  if (!valid_prefix(s.prefix)) throw ConfigError("MQTT prefix \"" + s.prefix + "\": not a topic");
  if (s.discovery && !valid_prefix(s.discovery_prefix))
    throw ConfigError("MQTT discovery prefix \"" + s.discovery_prefix + "\": not a topic");
  if (!s.password_file.empty()) plan.password = read_password(s.password_file);
  return plan;
}

int open_mqtt(const Options& o, const SiteConfig& site,
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
  auto sink = std::make_unique<MqttSink>(names, s.discovery);
  for (const DeviceConfig& d : site.devices) {
    auto channel = std::make_unique<MqttChannel>(
        channel_params(plan, names, d.data_id, site.devices.size() > 1));
    std::string error;
    if (!channel->start(error)) {
      std::cerr << "klx-host: MQTT: " << error << "\n";
      return kExitUsage;
    }
    sink->add(d.data_id, std::move(channel), configured_keys(d));
  }
  list.push_back(sink.get());
  sinks.push_back(std::move(sink));
  return kExitOk;
}

}  // namespace klxhost
