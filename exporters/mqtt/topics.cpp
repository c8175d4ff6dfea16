#include "topics.h"

#include <json/value.h>

#include <cctype>

#include "state_payload.h"

namespace klxhost {

std::string TopicNames::device(uint32_t data_id) const {
  return prefix + "/" + site + "/" + std::to_string(data_id);
}
std::string TopicNames::state(uint32_t data_id) const { return device(data_id) + "/state"; }
std::string TopicNames::value(uint32_t data_id, const std::string& object) const {
  return device(data_id) + "/value/" + object;
}
std::string TopicNames::availability(uint32_t data_id) const {
  return device(data_id) + "/availability";
}
std::string TopicNames::bridge_availability() const {
  return prefix + "/" + site + "/availability";
}
std::string TopicNames::alarm(uint32_t data_id, const std::string& key) const {
  return device(data_id) + "/alarm/" + topic_level(key);
}
std::string TopicNames::discovery_status() const { return discovery_prefix + "/status"; }

std::string TopicNames::node_id(uint32_t data_id) const {
  static const char hex[] = "0123456789abcdef";
  std::string out = "klx_";
  for (const char c : site) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || c == '-') {
      out += c;
    } else if (c == '_') {
      out += "__";
    } else {
      out += '_';
      out += hex[b >> 4];
      out += hex[b & 15];
    }
  }
  return out + "_" + std::to_string(data_id);
}

std::string topic_level(const std::string& key) {
  std::string out = key.empty() ? "_" : key;
  for (char& c : out)
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) c = '_';
  return out;
}

std::string alarm_payload(const klx::AlarmTransition& t, std::time_t since, uint64_t seq) {
  Json::Value v;
  v["active"] = t.raised;
  v["level"] = t.level;
  v["alarm_id"] = t.alarm_id;
  v["text1"] = t.text1;
  v["text2"] = t.text2;
  v["since"] = iso_time(since);
  if (seq) v["seq"] = Json::UInt64(seq);
  return compact_json(v);
}

}  // namespace klxhost
