#include "record_json.h"

#include <json/writer.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "acquisition/byte_reader.h"
#include "record_fields.h"

namespace record_json {
namespace {

using record_fields::Visitor;

// "acChannel[1].a" -> acChannel, [1], a: names, and indices as numbers.
struct Step {
  std::string name;
  int index = -1;
};
std::vector<Step> steps_of(const std::string& path) {
  std::vector<Step> out;
  std::string name;
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (c == '.' || c == '[') {
      if (!name.empty()) out.push_back({name, -1}), name.clear();
      if (c == '[') {
        const size_t close = path.find(']', i);
        out.push_back({"", std::atoi(path.substr(i + 1, close - i - 1).c_str())});
        i = close;
      }
    } else {
      name += c;
    }
  }
  if (!name.empty()) out.push_back({name, -1});
  return out;
}

Json::Value& slot(Json::Value& root, const std::string& path) {
  Json::Value* node = &root;
  for (const Step& s : steps_of(path))
    node = s.index < 0 ? &(*node)[s.name] : &(*node)[static_cast<Json::ArrayIndex>(s.index)];
  return *node;
}

const Json::Value* find(const Json::Value& root, const std::string& path) {
  const Json::Value* node = &root;
  for (const Step& s : steps_of(path)) {
    if (s.index < 0 && (!node->isObject() || !node->isMember(s.name))) return nullptr;
    if (s.index >= 0 && (!node->isArray() || node->size() <= static_cast<unsigned>(s.index)))
      return nullptr;
    node = s.index < 0 ? &(*node)[s.name] : &(*node)[static_cast<Json::ArrayIndex>(s.index)];
  }
  return node;
}

Json::Value float_json(float f) {
  const std::string t = record_fields::float_text(f);
  if (!std::isfinite(f) || is_invalid_marker(f)) return t;
  return std::strtod(t.c_str(), nullptr);
}

struct ToJson : Visitor {
  Json::Value root{Json::objectValue};
  void u32(const std::string& p, le_u32& v) override { slot(root, p) = v.get(); }
  void f32(const std::string& p, le_f32& v) override { slot(root, p) = float_json(v.get()); }
  void u8(const std::string& p, uint8_t& v) override { slot(root, p) = v; }
  void time7(const std::string& p, uint8_t (&t)[7]) override {
    slot(root, p) = record_fields::time_text(t);
  }
};

// For consumers that want numbers only: an absent value (the invalid marker, a value whose
// bytes are all equal, a non-finite one) is null.
struct ToState : ToJson {
  void f32(const std::string& p, le_f32& v) override {
    const float f = v.get();
    const bool absent = ByteReader::absent(v.bytes) || is_invalid_marker(f) || !std::isfinite(f);
    slot(root, p) = absent ? Json::Value() : float_json(f);
  }
};

struct ToTable : Visitor {
  std::vector<std::pair<std::string, std::string>> rows;
  void u32(const std::string& p, le_u32& v) override {
    rows.emplace_back(p, std::to_string(v.get()));
  }
  void f32(const std::string& p, le_f32& v) override {
    rows.emplace_back(p, record_fields::float_text(v.get()));
  }
  void u8(const std::string& p, uint8_t& v) override { rows.emplace_back(p, std::to_string(v)); }
  // The record keeps the wall clock of the host that polled, without its zone.
  void time7(const std::string& p, uint8_t (&t)[7]) override {
    rows.emplace_back(p, record_fields::time_text(t) + " (local time of the polling host)");
  }
};

struct FromJson : Visitor {
  const Json::Value& root;
  explicit FromJson(const Json::Value& r) : root(r) {}

  const Json::Value& get(const std::string& p) const {
    const Json::Value* v = find(root, p);
    if (!v) throw std::runtime_error(p + ": missing");
    return *v;
  }
  [[noreturn]] static void bad(const std::string& p, const char* what) {
    throw std::runtime_error(p + ": " + what);
  }
  double whole(const std::string& p, double max) const {
    const Json::Value& v = get(p);
    if (!v.isNumeric() || v.isBool()) bad(p, "expected a whole number");
    const double d = v.asDouble();
    if (d != std::floor(d) || d < 0 || d > max) bad(p, "out of range");
    return d;
  }
  void u32(const std::string& p, le_u32& v) override {
    v = static_cast<uint32_t>(whole(p, 4294967295.0));
  }
  void u8(const std::string& p, uint8_t& v) override { v = static_cast<uint8_t>(whole(p, 255)); }
  void f32(const std::string& p, le_f32& v) override {
    const Json::Value& j = get(p);
    if (j.isString()) {
      const std::string s = j.asString();
      if (s == "invalid") return void(v = kInvalidValue);
      if (s == "nan" || s == "inf" || s == "-inf") return void(v = std::strtof(s.c_str(), nullptr));
      bad(p, "expected a number, \"invalid\", \"nan\", \"inf\" or \"-inf\"");
    }
    if (!j.isNumeric() || j.isBool()) bad(p, "expected a number");
    v = static_cast<float>(j.asDouble());
  }
  void time7(const std::string& p, uint8_t (&t)[7]) override {
    const Json::Value& j = get(p);
    if (!j.isString() || !record_fields::parse_time(j.asString(), t))
      bad(p, "expected \"YYYY-MM-DD HH:MM:SS\"");
  }
};

}  // namespace

Json::Value to_json(const korvantis_419_Data_t& rec) {
  korvantis_419_Data_t copy = rec;
  ToJson v;
  record_fields::walk(copy, v);
  return v.root;
}

Json::Value state_json(const korvantis_419_Data_t& rec) {
  korvantis_419_Data_t copy = rec;
  ToState v;
  record_fields::walk(copy, v);
  return v.root;
}

std::string to_text(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "  ";
  w["precision"] = 15;  // the float texts are at most 9 digits: 15 keeps them as they are
  return Json::writeString(w, v);
}

std::string to_table(const korvantis_419_Data_t& rec) {
  korvantis_419_Data_t copy = rec;
  ToTable t;
  record_fields::walk(copy, t);
  size_t width = 0;
  for (const auto& r : t.rows) width = std::max(width, r.first.size());
  std::ostringstream out;
  for (const auto& r : t.rows)
    out << r.first << std::string(width + 2 - r.first.size(), ' ') << r.second << "\n";
  return out.str();
}

korvantis_419_Data_t from_json(const Json::Value& v) {
  korvantis_419_Data_t rec{};
  FromJson f(v);
  record_fields::walk(rec, f);
  return rec;
}

}  // namespace record_json
