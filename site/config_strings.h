#pragma once

// Every string of a configuration (keys too) must be UTF-8: a site label with a stray Latin-1
// byte would make every /metrics scrape and /api/status answer invalid.

#include <json/value.h>

#include <cstddef>
#include <string>

namespace klxhost {

// Length of the well-formed UTF-8 sequence at s[i] (i < s.size()), 0 when there is none.
size_t utf8_length(const std::string& s, size_t i);
// True when `s` is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool valid_utf8(const std::string& s);

// Throws ConfigError naming the first member (`name: "mqtt"."site"`) whose key or text is not.
void check_utf8_strings(const Json::Value& root, const std::string& name);

}  // namespace klxhost
