#pragma once

#include <json/value.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "sim/model.h"

// Reading the model file: every accessor knows where it is in the document, so a bad value is
// reported as "model.json: rectifiers.modules[2].current: expected a number or \"absent\"".
namespace sim {

class JsonIn {
 public:
  JsonIn(const Json::Value& value, std::string origin, std::string path = "")
      : v_(value), origin_(std::move(origin)), path_(std::move(path)) {}

  const Json::Value& raw() const { return v_; }
  bool has(const char* key) const;
  JsonIn at(const char* key) const;
  JsonIn at(unsigned index) const;
  unsigned size() const { return v_.size(); }

  // Refuses members other than these and notes (klx/json_keys.h).
  void only_keys(std::initializer_list<const char*> keys) const;
  void require_object() const;
  void require_array() const;

  double number() const;
  int integer(int lo, int hi) const;
  bool flag() const;     // a boolean, or a number (non-zero is true)
  uint8_t byte() const;  // 0..255, as a number or a "0x.." string
  WireValue wire_value() const;
  Bytes bytes(unsigned max = 255) const;
  std::vector<WireValue> wire_values(unsigned max = 255) const;
  std::string text() const;

  [[noreturn]] void fail(const std::string& what) const;

 private:
  const Json::Value& v_;
  std::string origin_;
  std::string path_;
};

// Member readers that keep a default when the key is absent.
void read_byte(const JsonIn& obj, const char* key, uint8_t& out);
void read_flag(const JsonIn& obj, const char* key, bool& out);
void read_value(const JsonIn& obj, const char* key, WireValue& out);
void read_bytes(const JsonIn& obj, const char* key, Bytes& out);
void read_values(const JsonIn& obj, const char* key, std::vector<WireValue>& out);

}  // namespace sim
