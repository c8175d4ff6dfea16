#include "schedule_json.h"

#include <algorithm>
#include <stdexcept>

#include "klx/hex.h"

namespace sim {
namespace {

struct EventName {
  const char* name;
  Event::Kind kind;
};
const EventName kEventNames[] = {
    {"mains_failure", Event::Kind::MainsFailure},
    {"module_fail", Event::Kind::ModuleFail},
    {"module_stop", Event::Kind::ModuleStop},
    {"module_start", Event::Kind::ModuleStart},
    {"dc_ramp", Event::Kind::DcRamp},
    {"module_count", Event::Kind::ModuleCount},
    {"dc_alarm", Event::Kind::DcAlarm},
    {"switch", Event::Kind::Switch},
};

struct FaultName {
  const char* name;
  FaultRule::Kind kind;
};
const FaultName kFaultNames[] = {
    {"no_answer", FaultRule::Kind::NoAnswer},
    {"bad_chksum", FaultRule::Kind::BadChecksum},
    {"bad_lchksum", FaultRule::Kind::BadLengthChecksum},
    {"rtn", FaultRule::Kind::Rtn},
    {"garbage", FaultRule::Kind::Garbage},
    {"garbage_inside", FaultRule::Kind::GarbageInside},
    {"truncated", FaultRule::Kind::Truncated},
    {"slow", FaultRule::Kind::Slow},
    {"split", FaultRule::Kind::Split},
    {"wrong_address", FaultRule::Kind::WrongAddress},
};

template <class Table, class Kind>
Kind kind_of(const JsonIn& type, const Table& table) {
  const std::string name = type.text();
  for (const auto& entry : table)
    if (name == entry.name) return entry.kind;
  std::string known;
  for (const auto& entry : table) known += std::string(known.empty() ? "" : ", ") + entry.name;
  type.fail("unknown type \"" + name + "\" (known: " + known + ")");
}

double seconds(const JsonIn& in) {
  const double s = in.number();
  if (s < 0) in.fail("expected a time in seconds, not negative");
  return s;
}

Event read_event(const JsonIn& in) {
  in.only_keys({"at", "type", "duration", "line", "module", "panel", "switch", "to", "count",
                "alarm", "state"});
  if (!in.has("type")) in.fail("an event needs a \"type\"");
  if (!in.has("at")) in.fail("an event needs an \"at\" time");
  Event e;
  e.kind = kind_of<decltype(kEventNames), Event::Kind>(in.at("type"), kEventNames);
  e.at = seconds(in.at("at"));
  if (in.has("duration")) e.duration = seconds(in.at("duration"));
  for (const char* key : {"line", "module", "panel", "switch"})
    if (in.has(key)) e.target = in.at(key).integer(1, 255);
  read_byte(in, "alarm", e.alarm);
  read_byte(in, "state", e.state);
  if (e.kind == Event::Kind::DcRamp) {
    if (!in.has("to")) in.fail("a dc_ramp needs a \"to\" voltage");
    e.to = static_cast<float>(in.at("to").number());
  }
  if (e.kind == Event::Kind::ModuleCount) {
    if (!in.has("count")) in.fail("a module_count event needs a \"count\"");
    e.count = in.at("count").integer(0, 255);
  }
  return e;
}

// Garbage as a hex string ("00FF7E") or as a list of bytes.
Bytes garbage_bytes(const JsonIn& in) {
  if (!in.raw().isString()) return in.bytes(1024);
  const std::string s = in.text();
  Bytes out;
  if (s.size() % 2 != 0 || s.size() > 2048) in.fail("expected an even number of hex digits");
  if (!klx::from_hex(s, out)) in.fail("expected hex digits");
  return out;
}

FaultRule read_fault(const JsonIn& in) {
  in.only_keys({"type", "from", "to", "probability", "count", "cid1", "cid2", "rtn", "bytes",
                "delay_ms", "chunks", "pause_ms", "address", "keep"});
  if (!in.has("type")) in.fail("a fault needs a \"type\"");
  FaultRule f;
  f.kind = kind_of<decltype(kFaultNames), FaultRule::Kind>(in.at("type"), kFaultNames);
  if (in.has("from")) f.from = seconds(in.at("from"));
  if (in.has("to")) f.to = seconds(in.at("to"));
  if (in.has("probability")) {
    f.probability = in.at("probability").number();
    if (f.probability < 0 || f.probability > 1) in.at("probability").fail("expected 0 to 1");
  }
  if (in.has("count")) f.count = in.at("count").integer(0, 1 << 30);
  if (in.has("cid1")) f.cid1 = in.at("cid1").byte();
  if (in.has("cid2")) f.cid2 = in.at("cid2").byte();
  read_byte(in, "rtn", f.rtn);
  if (in.has("bytes")) f.garbage = garbage_bytes(in.at("bytes"));
  if (in.has("delay_ms")) f.delay_ms = static_cast<uint32_t>(in.at("delay_ms").integer(0, 600000));
  if (in.has("chunks")) f.chunks = in.at("chunks").integer(1, 4096);
  if (in.has("pause_ms")) f.pause_ms = static_cast<uint32_t>(in.at("pause_ms").integer(0, 600000));
  if (in.has("address")) f.address = in.at("address").byte();
  if (in.has("keep")) f.keep = in.at("keep").integer(0, 1 << 20);
  if (f.kind == FaultRule::Kind::Rtn && f.rtn == 0)
    in.at("rtn").fail("a rtn fault needs RTN 1 to 255");
  return f;
}

}  // namespace

std::vector<Event> read_events(const JsonIn& list) {
  list.require_array();
  std::vector<Event> out;
  for (unsigned i = 0; i < list.size(); ++i) out.push_back(read_event(list.at(i)));
  return out;
}

std::vector<FaultRule> read_faults(const JsonIn& list) {
  list.require_array();
  std::vector<FaultRule> out;
  for (unsigned i = 0; i < list.size(); ++i) out.push_back(read_fault(list.at(i)));
  return out;
}

void check_event_targets(const Model& m, const std::string& origin) {
  size_t most_modules = m.rectifiers.modules.size();
  for (const Event& e : m.events)
    if (e.kind == Event::Kind::ModuleCount) most_modules = std::max<size_t>(most_modules, e.count);
  for (size_t i = 0; i < m.events.size(); ++i) {
    const Event& e = m.events[i];
    size_t limit = 255;
    const char* what = nullptr;
    switch (e.kind) {
      case Event::Kind::MainsFailure:
        limit = m.ac.lines.size(), what = "AC line";
        break;
      case Event::Kind::DcRamp:
      case Event::Kind::DcAlarm:
        limit = m.dc.panels.size(), what = "DC panel";
        break;
      case Event::Kind::ModuleFail:
      case Event::Kind::ModuleStop:
      case Event::Kind::ModuleStart:
        limit = most_modules, what = "module";
        break;
      case Event::Kind::Switch:
        limit = m.ac.switches.size(), what = "AC switch";
        break;
      case Event::Kind::ModuleCount:
        break;
    }
    if (what && static_cast<size_t>(e.target) > limit)
      throw std::runtime_error(origin + ": events[" + std::to_string(i) + "]: the model has no " +
                               what + " " + std::to_string(e.target));
  }
}

}  // namespace sim
