#pragma once

// The state of one device after a round, as it leaves the machine (MQTT state topic, HTTP
// /api/state): {"time": "2026-12-09T00:15:39+00:00", "round": 12, "data_id": 7, "ac": {...}, ...}
// with the record's names and nesting and absent values null.

#include <json/value.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace klxhost {

// ISO 8601 local time with the UTC offset ("+01:00").
std::string iso_time(std::time_t t);

// `record` is the published record; one of another size (none published yet) gives only the
// time and the round.
Json::Value state_payload(const std::vector<uint8_t>& record, unsigned round, std::time_t time);

// Compact JSON text of a value (no line breaks), floats as the record tool writes them.
std::string compact_json(const Json::Value& v);

}  // namespace klxhost
