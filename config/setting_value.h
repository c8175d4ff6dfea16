#pragma once

#include <json/value.h>

#include <cstdlib>

// Option values are read as text and converted with atoi, so numbers and numeric strings both
// work; a key is present when it is not null. An array or an object cannot be turned into text:
// jsoncpp's error is left to the host, which reports the configuration error.
namespace settings {

inline bool present(const Json::Value& v) { return v != Json::Value(); }

// Reads `key` of `obj` into `out` when present; `out` keeps its value otherwise.
inline void read_int(const Json::Value& obj, const char* key, int32_t& out) {
  const Json::Value& v = obj[key];
  if (present(v)) out = std::atoi(v.asString().c_str());
}

inline void read_bool(const Json::Value& obj, const char* key, bool& out) {
  const Json::Value& v = obj[key];
  if (present(v)) out = std::atoi(v.asString().c_str()) != 0;
}

// The "appSetting" object, or nullptr when it is absent or not an object.
inline const Json::Value* app_setting(const Json::Value& settings) {
  const Json::Value& app = settings["appSetting"];
  return present(app) && app.type() == Json::objectValue ? &app : nullptr;
}

}  // namespace settings
