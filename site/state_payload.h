#pragma once

// The state of one device after a round, as it leaves the machine (MQTT state topic, HTTP
// /api/state): {"time": "2026-12-09T00:15:39+00:00", "round": 12, "data_id": 7, "ac": {...}, ...}
// with the record's names and nesting, absent values null, and hardware that is not there (a
// section not configured, a phase not wired, modules and lines beyond the count, a DC panel the
// model says is absent) left out. Each module carries its "state" and the shelf its "rc_current",
// as the model decides them.

#include <json/value.h>

#include <ctime>
#include <string>

#include "klx/site_model.h"

namespace klxhost {

// ISO 8601 local time with the UTC offset ("+01:00").
std::string iso_time(std::time_t t);

// A model without a valid record (none published yet) gives only the time and the round.
Json::Value state_payload(const klx::DeviceModel& model, unsigned round, std::time_t time);

// Compact JSON text of a value (no line breaks), floats as the record tool writes them.
std::string compact_json(const Json::Value& v);

}  // namespace klxhost
