#pragma once

// Small JSON writing helpers for the trace: strings escaped as UTF-8, floats written so that
// reading them back gives the same float.

#include <cstddef>
#include <cstdint>
#include <string>

namespace klxhost {

// Appends s as a JSON string. Bytes that are not UTF-8 become U+FFFD, so a line stays JSON.
void append_json_string(std::string& out, const std::string& s);
// The shortest decimal text that reads back as v; "null" for NaN and the infinities.
std::string json_float(float v);

}  // namespace klxhost
