// klx-scan's probing of one address: whatever the line answers to each command (a frame with any
// VER, RTN and info bytes, no answer, a damaged frame, the line lost), the scan's finding holds
// only text a terminal and a JSON reader can take, the table has one line per finding, the JSON
// list reads back as itself, and the written configuration holds exactly the usable findings.
#include <json/writer.h>

#include <sstream>

#include "config_strings.h"
#include "fuzz_support.h"
#include "klx/json_read.h"
#include "probe.h"
#include "report.h"

namespace {

using klxscan::Reply;

// Each command takes its reply from the input: a kind byte, then as the kind says a VER, an RTN
// and the info bytes (a length byte, then that many).
class ScriptedLine : public klxscan::Exchanger {
 public:
  explicit ScriptedLine(FuzzInput& in) : in_(in) {}
  Reply ask(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t, const std::vector<uint8_t>&) override {
    Reply r;
    const uint8_t kind = in_.byte();
    switch (kind & 3) {
      case 0:
        r.kind = Reply::Kind::kAnswer;
        r.frame.ver = kind & 4 ? in_.byte() : ver;
        r.frame.adr = adr;
        r.frame.cid1 = cid1;
        r.frame.cid2 = kind & 8 ? in_.byte() : 0;
        r.frame.info = in_.take(in_.byte());
        r.frame.lenid = static_cast<uint16_t>(r.frame.info.size() * 2);
        break;
      case 1:
        r.kind = Reply::Kind::kTimeout;
        r.bytes = kind & 4 ? in_.byte() : 0;
        break;
      case 2:
        r.kind = Reply::Kind::kBadFrame;
        r.error = static_cast<klx::FrameError>(1 + (kind >> 2) % 6);
        break;
      default:
        r.kind = Reply::Kind::kLost;
    }
    return r;
  }

 private:
  FuzzInput& in_;
};

// Text that reaches a terminal: UTF-8 without control characters (C0, DEL, C1).
bool printable(const std::string& s) {
  if (!klxhost::valid_utf8(s)) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return false;
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0) return false;
  }
  return true;
}

void check_finding(const klxscan::Found& f) {
  require(printable(f.identity.device_name), "device name printable");
  require(printable(f.identity.software_version), "software version printable");
  require(printable(f.identity.maker), "maker printable");
  require(printable(f.reason), "reason printable");
  for (const auto& n : f.notes) require(printable(n), "note printable");
  for (size_t i = 0; i < f.groups.size(); ++i) {
    require(f.groups[i] >= 0x40 && f.groups[i] <= 0x42, "a group the scan asks");
    require(i == 0 || f.groups[i - 1] < f.groups[i], "groups sorted, each once");
  }
  if (f.usable()) {
    require(f.version == klxscan::kPluginVersion, "usable only at the plug-in's version");
    require(f.layout.modules >= 0 && f.layout.modules <= 255, "usable with a module count");
  }
}

std::string json_text(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["emitUTF8"] = true;
  return Json::writeString(b, v);
}

void check_strings(const Json::Value& v, const char* what) {
  if (v.isString()) require(klxhost::valid_utf8(v.asString()), what);
  for (const auto& member : v) check_strings(member, what);
}

// Text whose writing as JSON takes more than copying: escapes, or bytes beyond ASCII.
bool needs_escapes(const klxscan::Found& f) {
  for (const std::string* s : {&f.identity.device_name, &f.identity.maker, &f.reason})
    for (char c : *s)
      if (c == '"' || c == '\\' || static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

void check_outputs(const klxscan::Found& f) {
  const std::vector<klxscan::Found> found{f};
  std::ostringstream table;
  klxscan::print_table(table, found);
  const std::string t = table.str();
  require(klxhost::valid_utf8(t), "table is UTF-8");
  size_t lines = 0;
  for (char c : t) lines += c == '\n';
  require(lines == found.size() + 1, "one table line per finding");

  const Json::Value list = klxscan::to_json(found);
  check_strings(list, "JSON strings are UTF-8");
  // Writing and reading back costs most of an input's time: only where escaping is at stake.
  if (needs_escapes(f)) {
    Json::Value back;
    std::string error;
    require(klx::parse_json(json_text(list), back, error), "the JSON list reads back");
    require(back == list, "the JSON list reads back as itself");
  }
  if (f.usable()) {
    const Json::Value config = klxscan::to_config(found, "tcp:127.0.0.1:4001");
    require(config["devices"].size() == 1, "the configuration holds the usable finding");
    check_strings(config, "configuration strings are UTF-8");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t address = static_cast<uint8_t>(1 + in.byte() % 254);
  ScriptedLine line(in);
  auto f = klxscan::probe_address(line, address, 9600);
  if (!f) return 0;
  require(f->address == address, "the finding's address is the one asked");
  check_finding(*f);
  check_outputs(*f);
  return 0;
}
