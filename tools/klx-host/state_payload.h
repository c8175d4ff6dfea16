#pragma once

// The state of one device after a completed round, as published to brokers and HTTP clients:
// {"time": "2026-12-09T00:15:39+00:00", "round": 12, "ac": {...}, "acChannel": [...], ...}
// with the record's fields named and nested as klx-record shows them, absent values null.

#include <json/value.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace klxhost {

// Local time in ISO 8601 with its UTC offset ("+01:00").
std::string iso_time(std::time_t t);

// `record` is the published record; one of another size than a record (or none) adds no fields.
Json::Value state_payload(std::time_t time, unsigned round, const std::vector<uint8_t>* record);

// One line of JSON, floats kept as they read back.
std::string compact_json(const Json::Value& v);

}  // namespace klxhost
