#pragma once

// What goes to the broker, as topics and payloads (no network here):
//   PREFIX/SITE/DATA_ID/state         the state after each completed round
//   PREFIX/SITE/DATA_ID/alarm/KEY     each raise and clear
//   PREFIX/SITE/DATA_ID/availability  online / offline
//   PREFIX/SITE/availability          the host's connection: online / offline (its last will)
//   DISCOVERY_PREFIX/{sensor,binary_sensor}/klx_SITE_DATAID/OBJECT/config

#include <json/value.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "klx/store.h"

namespace klxhost {

struct MqttMessage {
  std::string topic;
  std::string payload;
  bool retain = true;
};

struct TopicNames {
  std::string prefix;
  std::string site;
  std::string discovery_prefix;

  std::string device(uint32_t data_id) const;  // PREFIX/SITE/DATA_ID
  std::string state(uint32_t data_id) const;
  std::string availability(uint32_t data_id) const;
  std::string bridge_availability() const;  // PREFIX/SITE/availability
  std::string alarm(uint32_t data_id, const std::string& key) const;
  std::string discovery_status() const;         // DISCOVERY_PREFIX/status
  std::string node_id(uint32_t data_id) const;  // klx_SITE_DATAID, SITE as [A-Za-z0-9_-]
};

// An alarm key as one topic level: '/', '+', '#' and control bytes become '_'.
std::string topic_level(const std::string& key);

// {"active", "level", "alarm_id", "text1", "text2", "since", "seq"}; no "seq" when 0.
std::string alarm_payload(const klx::AlarmTransition& t, std::time_t since, uint64_t seq = 0);

// The Home Assistant configs of one device: sensors for the values the state (a state payload)
// holds, a problem binary_sensor per alarm key.
std::vector<MqttMessage> discovery_messages(const TopicNames& names, uint32_t data_id,
                                            const Json::Value& state,
                                            const std::vector<std::string>& alarm_keys);

// The problem binary_sensor of one alarm key.
MqttMessage alarm_discovery(const TopicNames& names, uint32_t data_id, const std::string& key);

// What decides which sensors a state has (line, module and panel counts): configs are sent again
// when it changes.
std::string discovery_shape(const Json::Value& state);

}  // namespace klxhost
