// The model file: sections, quirks and the schedule (events and faults), read strictly. Every
// count on the wire is one byte, so every list is limited to 255 items.
#include <cstdio>
#include <stdexcept>

#include "json_in.h"
#include "klx/json_read.h"
#include "schedule_json.h"
#include "sim/answers.h"
#include "sim/identity.h"
#include "sim/model.h"

namespace sim {
namespace {

// A model of every section at its 255-item limits is a few hundred kilobytes.
constexpr size_t kMaxModelFile = 4 << 20;

template <size_t N>
void read_fixed_bytes(const JsonIn& obj, const char* key, std::array<uint8_t, N>& out) {
  if (!obj.has(key)) return;
  const JsonIn list = obj.at(key);
  const Bytes b = list.bytes();
  if (b.size() != N) list.fail("expected " + std::to_string(N) + " bytes");
  std::copy(b.begin(), b.end(), out.begin());
}

AcLine read_ac_line(const JsonIn& in) {
  in.only_keys(
      {"a", "b", "c", "f", "tower", "extra", "alarms", "fuses", "tower_alarms", "extra_alarms"});
  AcLine line;
  read_value(in, "a", line.a);
  read_value(in, "b", line.b);
  read_value(in, "c", line.c);
  read_value(in, "f", line.f);
  read_values(in, "tower", line.tower);
  read_values(in, "extra", line.extra);
  read_fixed_bytes(in, "alarms", line.alarms);
  read_bytes(in, "fuses", line.fuses);
  read_bytes(in, "tower_alarms", line.tower_alarms);
  read_bytes(in, "extra_alarms", line.extra_alarms);
  return line;
}

AcSection read_ac(const JsonIn& in) {
  in.only_keys(
      {"data_flag", "lines", "values", "switches", "tower_switches", "extra_switches", "alarms"});
  AcSection ac;
  read_byte(in, "data_flag", ac.data_flag);
  if (in.has("lines")) {
    const JsonIn lines = in.at("lines");
    lines.require_array();
    if (lines.size() > 255) lines.fail("at most 255 lines");
    for (unsigned i = 0; i < lines.size(); ++i) ac.lines.push_back(read_ac_line(lines.at(i)));
  }
  if (in.has("values")) {
    const JsonIn list = in.at("values");
    const auto v = list.wire_values();
    if (v.size() != 3) list.fail("expected 3 values");
    std::copy(v.begin(), v.end(), ac.values.begin());
  }
  read_bytes(in, "switches", ac.switches);
  read_bytes(in, "tower_switches", ac.tower_switches);
  read_bytes(in, "extra_switches", ac.extra_switches);
  read_fixed_bytes(in, "alarms", ac.alarms);
  return ac;
}

Module read_module(const JsonIn& in) {
  in.only_keys({"current", "tower", "extra", "status", "tower_states", "extra_states", "alarm",
                "tower_alarms", "extra_alarms"});
  Module m;
  read_value(in, "current", m.current);
  read_values(in, "tower", m.tower);
  read_values(in, "extra", m.extra);
  read_fixed_bytes(in, "status", m.status);
  read_bytes(in, "tower_states", m.tower_states);
  read_bytes(in, "extra_states", m.extra_states);
  read_byte(in, "alarm", m.alarm);
  read_bytes(in, "tower_alarms", m.tower_alarms);
  read_bytes(in, "extra_alarms", m.extra_alarms);
  return m;
}

// "modules" lists modules one by one; "count" repeats the last one listed (or a plain module)
// up to that number, so a full shelf needs no list of forty entries.
RectifierSection read_rectifiers(const JsonIn& in) {
  in.only_keys({"data_flag", "voltage", "modules", "count"});
  RectifierSection rc;
  read_byte(in, "data_flag", rc.data_flag);
  read_value(in, "voltage", rc.voltage);
  if (in.has("modules")) {
    const JsonIn list = in.at("modules");
    list.require_array();
    if (list.size() > 255) list.fail("at most 255 modules");
    for (unsigned i = 0; i < list.size(); ++i) rc.modules.push_back(read_module(list.at(i)));
  }
  if (in.has("count")) {
    const auto count = static_cast<size_t>(in.at("count").integer(0, 255));
    const Module fill = rc.modules.empty() ? Module{} : rc.modules.back();
    rc.modules.resize(count, fill);
  }
  return rc;
}

DcPanel read_dc_panel(const JsonIn& in) {
  in.only_keys({"voltage", "current", "m", "n", "p", "alarm", "fuses", "extra_alarms"});
  DcPanel p;
  read_value(in, "voltage", p.voltage);
  read_value(in, "current", p.current);
  read_values(in, "m", p.m);
  read_values(in, "n", p.n);
  read_values(in, "p", p.p);
  read_byte(in, "alarm", p.alarm);
  read_bytes(in, "fuses", p.fuses);
  read_bytes(in, "extra_alarms", p.extra_alarms);
  return p;
}

DcSection read_dc(const JsonIn& in) {
  in.only_keys({"data_flag", "panels"});
  DcSection dc;
  read_byte(in, "data_flag", dc.data_flag);
  if (in.has("panels")) {
    const JsonIn list = in.at("panels");
    list.require_array();
    if (list.size() > 255) list.fail("at most 255 panels");
    for (unsigned i = 0; i < list.size(); ++i) dc.panels.push_back(read_dc_panel(list.at(i)));
  }
  return dc;
}

Quirks read_quirks(const JsonIn& in) {
  in.only_keys({"has_tower", "skip_41_41", "no_dc_number", "no_40_arg", "no_42_arg"});
  Quirks q;
  read_flag(in, "has_tower", q.has_tower);
  read_byte(in, "skip_41_41", q.skip_41_41);
  read_flag(in, "no_dc_number", q.no_dc_number);
  read_flag(in, "no_40_arg", q.no_40_arg);
  read_flag(in, "no_42_arg", q.no_42_arg);
  return q;
}

// "manufacturer": {"device_name", "software_version": "1.2", "maker"}; the built-in texts for
// what is left out.
Identity read_identity(const JsonIn& in) {
  in.only_keys({"device_name", "software_version", "maker"});
  Identity id;
  if (in.has("device_name")) id.device_name = in.at("device_name").text();
  if (in.has("maker")) id.maker = in.at("maker").text();
  if (in.has("software_version")) {
    const JsonIn v = in.at("software_version");
    unsigned major = 0, minor = 0;
    char tail = 0;
    if (std::sscanf(v.text().c_str(), "%u.%u%c", &major, &minor, &tail) != 2 || major > 255 ||
        minor > 255)
      v.fail("expected \"MAJOR.MINOR\", each 0 to 255");
    id.software_major = static_cast<uint8_t>(major);
    id.software_minor = static_cast<uint8_t>(minor);
  }
  return id;
}

Json::Value parse_root(const std::string& json_text, const std::string& origin) {
  Json::Value root;
  std::string errors;
  if (!klx::parse_json(json_text, root, errors))
    throw std::runtime_error(origin + ": not valid JSON: " + errors);
  return root;
}

Model read_model(const JsonIn& in, const std::string& origin) {
  in.only_keys({"description", "version", "seed", "manufacturer", "quirks", "ac", "rectifiers",
                "dc", "events", "faults", "noise"});
  if (!in.has("rectifiers")) in.fail("the \"rectifiers\" section is required");
  Model m;
  read_byte(in, "version", m.version);
  if (in.has("seed")) m.seed = static_cast<uint32_t>(in.at("seed").integer(0, 2147483647));
  if (in.has("manufacturer")) m.identity = read_identity(in.at("manufacturer"));
  check_identity(m.identity, origin);
  if (in.has("quirks")) m.quirks = read_quirks(in.at("quirks"));
  m.ac = in.has("ac") ? read_ac(in.at("ac")) : AcSection{};
  m.ac.present = in.has("ac");
  m.rectifiers = read_rectifiers(in.at("rectifiers"));
  m.dc = in.has("dc") ? read_dc(in.at("dc")) : DcSection{};
  m.dc.present = in.has("dc");
  if (in.has("events")) m.events = read_events(in.at("events"));
  if (in.has("faults")) m.faults = read_faults(in.at("faults"));
  if (in.has("noise")) m.noise = read_noise(in.at("noise"), m.seed);
  check_event_targets(m, origin);
  check_answer_sizes(m, origin);
  return m;
}

std::string read_file(const std::string& path) {
  std::string text, error;
  if (!klx::read_file_capped(path, kMaxModelFile, text, error))
    throw std::runtime_error("cannot read model file " + path + ": " + error);
  return text;
}

// A device's model: the built-in one when left out, a file (relative to the line file's folder)
// or the model itself.
Model device_model(const JsonIn& device, const std::string& folder, const std::string& origin) {
  if (!device.has("model")) return default_model();
  const JsonIn model = device.at("model");
  if (model.raw().isObject()) return read_model(model, origin);
  const std::string path = model.text();
  return load_model_file(path.empty() || path[0] == '/' || folder.empty() ? path
                                                                          : folder + "/" + path);
}

std::vector<LineDevice> read_devices(const JsonIn& in, const std::string& folder,
                                     const std::string& origin) {
  in.only_keys({"description", "devices"});
  const JsonIn list = in.at("devices");
  list.require_array();
  if (list.size() == 0 || list.size() > 254) list.fail("expected 1 to 254 devices");
  std::vector<LineDevice> line;
  for (unsigned i = 0; i < list.size(); ++i) {
    const JsonIn d = list.at(i);
    d.only_keys({"address", "model"});
    if (!d.has("address")) d.fail("\"address\" is required");
    const JsonIn adr = d.at("address");
    const auto address = static_cast<uint8_t>(adr.integer(1, 254));
    for (const LineDevice& other : line)
      if (other.address == address) adr.fail("address " + std::to_string(address) + " twice");
    line.push_back({address, device_model(d, folder, origin)});
  }
  return line;
}

}  // namespace

Model parse_model(const std::string& json_text, const std::string& origin) {
  const Json::Value root = parse_root(json_text, origin);
  return read_model(JsonIn(root, origin), origin);
}

Model load_model_file(const std::string& path) { return parse_model(read_file(path), path); }

std::vector<LineDevice> parse_line(const std::string& json_text, const std::string& origin,
                                   uint8_t address, const std::string& folder) {
  const Json::Value root = parse_root(json_text, origin);
  const JsonIn in(root, origin);
  if (in.has("devices")) return read_devices(in, folder, origin);
  std::vector<LineDevice> line;
  line.push_back({address, read_model(in, origin)});
  return line;
}

std::vector<LineDevice> load_line_file(const std::string& path, uint8_t address) {
  const size_t slash = path.rfind('/');
  return parse_line(read_file(path), path, address,
                    slash == std::string::npos ? "" : path.substr(0, slash));
}

}  // namespace sim
