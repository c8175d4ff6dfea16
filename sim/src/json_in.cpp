#include "json_in.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "klx/hex.h"

namespace sim {

bool JsonIn::has(const char* key) const {
  return v_.isObject() && v_.isMember(key) && !v_[key].isNull();
}

JsonIn JsonIn::at(const char* key) const {
  require_object();
  return JsonIn(v_[key], origin_, path_.empty() ? key : path_ + "." + key);
}

JsonIn JsonIn::at(unsigned index) const {
  require_array();
  return JsonIn(v_[index], origin_, path_ + "[" + std::to_string(index) + "]");
}

void JsonIn::fail(const std::string& what) const {
  throw std::runtime_error(origin_ + ": " + (path_.empty() ? "top level" : path_) + ": " + what);
}

void JsonIn::require_object() const {
  if (!v_.isObject()) fail("expected an object");
}

void JsonIn::require_array() const {
  if (!v_.isArray()) fail("expected an array");
}

void JsonIn::only_keys(std::initializer_list<const char*> keys) const {
  require_object();
  for (const auto& name : v_.getMemberNames()) {
    bool known = false;
    for (const char* k : keys) known = known || name == k;
    if (!known) at(name.c_str()).fail("unknown key");
  }
}

double JsonIn::number() const {
  if (!v_.isNumeric() || v_.isBool()) fail("expected a number");
  const double d = v_.asDouble();
  if (!std::isfinite(d)) fail("expected a finite number");
  return d;
}

int JsonIn::integer(int lo, int hi) const {
  const double d = number();
  if (d != std::floor(d) || d < lo || d > hi)
    fail("expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return static_cast<int>(d);
}

bool JsonIn::flag() const {
  if (v_.isBool()) return v_.asBool();
  return number() != 0.0;
}

uint8_t JsonIn::byte() const {
  if (v_.isString()) {
    const std::string s = v_.asString();
    char* end = nullptr;
    const unsigned long n = std::strtoul(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0' || n > 255) fail("expected a byte (0..255 or \"0x..\")");
    return static_cast<uint8_t>(n);
  }
  return static_cast<uint8_t>(integer(0, 255));
}

// A number, or "absent" (sent as 20 20 20 20), or "absent:XX" with the pattern byte in hex.
WireValue JsonIn::wire_value() const {
  if (v_.isString()) {
    const std::string s = v_.asString();
    if (s == "absent") return WireValue::absent();
    Bytes pattern;
    if (s.rfind("absent:", 0) == 0 && s.size() == 9 && klx::from_hex(s.substr(7), pattern) &&
        pattern[0] != 0)
      return WireValue::absent(pattern[0]);
    fail("expected a number, \"absent\" or \"absent:XX\" (XX a non-zero hex byte)");
  }
  const double d = number();
  if (std::fabs(d) > std::numeric_limits<float>::max()) fail("value out of float range");
  return WireValue::of(static_cast<float>(d));
}

Bytes JsonIn::bytes(unsigned max) const {
  require_array();
  if (v_.size() > max) fail("at most " + std::to_string(max) + " items");
  Bytes out;
  for (unsigned i = 0; i < v_.size(); ++i) out.push_back(at(i).byte());
  return out;
}

std::vector<WireValue> JsonIn::wire_values(unsigned max) const {
  require_array();
  if (v_.size() > max) fail("at most " + std::to_string(max) + " items");
  std::vector<WireValue> out;
  for (unsigned i = 0; i < v_.size(); ++i) out.push_back(at(i).wire_value());
  return out;
}

std::string JsonIn::text() const {
  if (!v_.isString()) fail("expected a string");
  return v_.asString();
}

void read_byte(const JsonIn& obj, const char* key, uint8_t& out) {
  if (obj.has(key)) out = obj.at(key).byte();
}
void read_flag(const JsonIn& obj, const char* key, bool& out) {
  if (obj.has(key)) out = obj.at(key).flag();
}
void read_value(const JsonIn& obj, const char* key, WireValue& out) {
  if (obj.has(key)) out = obj.at(key).wire_value();
}
void read_bytes(const JsonIn& obj, const char* key, Bytes& out) {
  if (obj.has(key)) out = obj.at(key).bytes();
}
void read_values(const JsonIn& obj, const char* key, std::vector<WireValue>& out) {
  if (obj.has(key)) out = obj.at(key).wire_values();
}

}  // namespace sim
