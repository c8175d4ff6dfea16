#pragma once

// What goes to the broker, as topics and payloads (no network here):
//   PREFIX/SITE/DATA_ID/value/OBJECT   one value, its number (or text) as payload, retained
//   PREFIX/SITE/DATA_ID/state          the whole state, on the heartbeat and on structure changes
//   PREFIX/SITE/DATA_ID/alarm/KEY      each raise and clear
//   PREFIX/SITE/DATA_ID/availability   online / offline
//   PREFIX/SITE/availability           the host's connection: online / offline (its last will)
// and the Home Assistant discovery configs (discovery.h).

#include <cstdint>
#include <ctime>
#include <string>

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
  std::string value(uint32_t data_id, const std::string& object) const;
  std::string availability(uint32_t data_id) const;
  std::string bridge_availability() const;  // PREFIX/SITE/availability
  std::string alarm(uint32_t data_id, const std::string& key) const;
  std::string discovery_status() const;  // DISCOVERY_PREFIX/status
  // klx_SITE_DATAID with SITE in [A-Za-z0-9_-]: letters, digits and '-' as they are, '_' as
  // "__", any other byte as '_' and two hex digits, so that different sites ("a.b", "a_b")
  // never share an id.
  std::string node_id(uint32_t data_id) const;
};

// An alarm key as one topic level: '/', '+', '#' and control bytes become '_'.
std::string topic_level(const std::string& key);

// {"active", "level", "alarm_id", "text1", "text2", "since", "seq"}; no "seq" when 0.
std::string alarm_payload(const klx::AlarmTransition& t, std::time_t since, uint64_t seq = 0);

}  // namespace klxhost
