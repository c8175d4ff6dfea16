#include "trace.h"

#include "json_out.h"
#include "klx/hex.h"

namespace klxhost {
namespace {

std::string byte_hex(uint8_t b) { return klx::to_hex(&b, 1); }

// {"ev":"<ev>", ... — the caller adds the members and the closing brace.
std::string start(const char* ev) { return std::string("{\"ev\":\"") + ev + "\""; }

void member(std::string& out, const char* name, const std::string& text) {
  out += ",\"";
  out += name;
  out += "\":";
  append_json_string(out, text);
}

void number(std::string& out, const char* name, const std::string& digits) {
  out += ",\"";
  out += name;
  out += "\":";
  out += digits;
}

}  // namespace

void Trace::cmd(uint8_t cid1, uint8_t cid2, const uint8_t* data, size_t n) {
  if (!enabled()) return;
  std::string s = start("cmd");
  member(s, "cid1", byte_hex(cid1));
  member(s, "cid2", byte_hex(cid2));
  member(s, "data", klx::to_hex(data, n));
  line(s + "}");
}

void Trace::publish(int sp_id, const uint8_t* record, size_t n) {
  if (!enabled()) return;
  std::string s = start("publish");
  number(s, "id", std::to_string(sp_id));
  member(s, "record", klx::to_hex(record, n));
  line(s + "}");
}

void Trace::history(const uint8_t* record, size_t n) {
  if (!enabled()) return;
  std::string s = start("history");
  member(s, "record", klx::to_hex(record, n));
  line(s + "}");
}

void Trace::check(const std::string& id, float value) { id_value("check", id, value); }

void Trace::report(const std::string& id, float value) { id_value("report", id, value); }

void Trace::id_value(const char* ev, const std::string& id, float value) {
  if (!enabled()) return;
  std::string s = start(ev);
  member(s, "id", id);
  number(s, "value", json_float(value));
  line(s + "}");
}

void Trace::batch(const std::vector<rule_value>& rules) {
  if (!enabled()) return;
  std::string s = start("batch") + ",\"rules\":[";
  for (size_t i = 0; i < rules.size(); ++i) {
    const rule_value& r = rules[i];
    s += i ? ",{" : "{";
    s += "\"level\":" + std::to_string(r.level);
    member(s, "key", r.key);
    member(s, "alarm_id", r.alarm_id);
    member(s, "text1", r.text1);
    member(s, "text2", r.text2);
    number(s, "active", r.value != 0.0 ? "true" : "false");
    number(s, "count", std::to_string(r.count));
    s += "}";
  }
  line(s + "]}");
}

void Trace::get_value(const std::string& name, float value) {
  if (!enabled()) return;
  std::string s = start("get");
  member(s, "name", name);
  number(s, "value", json_float(value));
  line(s + "}");
}

void Trace::get_error(const std::string& name, const std::string& error) {
  if (!enabled()) return;
  std::string s = start("get");
  member(s, "name", name);
  member(s, "error", error);
  line(s + "}");
}

void Trace::ioctl(int code, int result, int written, const uint8_t* out, size_t out_n) {
  if (!enabled()) return;
  std::string s = start("ioctl");
  number(s, "code", std::to_string(code));
  number(s, "result", std::to_string(result));
  number(s, "written", std::to_string(written));
  member(s, "out", klx::to_hex(out, out_n));
  line(s + "}");
}

}  // namespace klxhost
