#pragma once

#include <json/value.h>

#include <string>

#include "acquisition/record.h"

// The record as JSON (fields nested as in code: {"ac": {"channel_count": 2, ...},
// "acChannel": [{"a": 230.1, ...}, ...]}) and as an aligned text table, and a record built back
// from that JSON.
namespace record_json {

Json::Value to_json(const korvantis_419_Data_t& rec);
// The same nesting with every absent value (invalid marker, all-equal bytes, non-finite) as
// null: the form published to brokers and HTTP clients.
Json::Value state_json(const korvantis_419_Data_t& rec);
std::string to_text(const Json::Value& v);  // indented JSON; floats read back to the same float
std::string to_table(const korvantis_419_Data_t& rec);

// Every field must be present; reserved bytes are left 0. Throws std::runtime_error naming the
// field at fault.
korvantis_419_Data_t from_json(const Json::Value& v);

}  // namespace record_json
