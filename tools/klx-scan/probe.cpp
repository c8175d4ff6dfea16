#include "probe.h"

#include <algorithm>
#include <cstdio>

#include "decode.h"

namespace klxscan {
namespace {

constexpr uint8_t kAc = 0x40, kRectifiers = 0x41, kDc = 0x42;
constexpr uint8_t kAnalog = 0x41, kGetVersion = 0x4F, kGetAddress = 0x50, kGetMaker = 0x51;
constexpr uint8_t kRtnVersion = 0x01, kRtnFormat = 0x05;

std::string hex2(int v) {
  char s[8];
  std::snprintf(s, sizeof s, "0x%02X", v & 0xFF);
  return s;
}

std::string command_name(uint8_t cid1, uint8_t cid2) {
  char s[8];
  std::snprintf(s, sizeof s, "%02X/%02X", cid1, cid2);
  return s;
}

// One address's conversation: every command is tried twice when its answer was damaged or
// missing, since a single noise hit must not hide a device.
class Prober {
 public:
  Prober(Exchanger& line, Found& found) : line_(line), f_(found) {}

  Reply ask(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& data = {}) {
    Reply r;
    for (int attempt = 0; attempt < 2; ++attempt) {
      r = line_.ask(static_cast<uint8_t>(ver_), f_.address, cid1, cid2, data);
      if (r.kind == Reply::Kind::kAnswer || r.kind == Reply::Kind::kLost) break;
    }
    note_failure(cid1, cid2, r);
    return r;
  }

  bool presence();
  void groups();
  void identity();
  void layout();

 private:
  void note_failure(uint8_t cid1, uint8_t cid2, const Reply& r) {
    if (r.kind == Reply::Kind::kAnswer) return;
    const std::string what = command_name(cid1, cid2);
    if (r.kind == Reply::Kind::kBadFrame)
      f_.notes.push_back(what + ": damaged answer (" + klx::frame_error_name(r.error) + ")");
    else if (r.kind == Reply::Kind::kTimeout)
      f_.notes.push_back(what + ": no answer");
    else
      f_.notes.push_back(what + ": line lost");
  }
  // The info of a good analog answer; empty with the reason noted otherwise.
  std::vector<uint8_t> analog(uint8_t cid1, const std::vector<uint8_t>& data, bool& refused_arg);

  Exchanger& line_;
  Found& f_;
  int ver_ = kPluginVersion;
};

// The version query goes to the rectifier group, which every system of this family has. A
// silent address costs one time-out; garbage or a damaged frame means something is there.
bool Prober::presence() {
  Reply r = line_.ask(kPluginVersion, f_.address, kRectifiers, kGetVersion);
  if (r.kind == Reply::Kind::kTimeout && r.bytes == 0) return false;
  if (r.kind != Reply::Kind::kAnswer)
    r = line_.ask(kPluginVersion, f_.address, kRectifiers, kGetVersion);
  if (r.kind == Reply::Kind::kTimeout && r.bytes == 0) return false;
  if (r.kind == Reply::Kind::kBadFrame) {
    f_.reason = std::string("garbled answers (") + klx::frame_error_name(r.error) + ")";
    return true;
  }
  if (r.kind != Reply::Kind::kAnswer) {
    f_.reason = r.kind == Reply::Kind::kLost ? "line lost" : "bytes but no frame (garbage)";
    return true;
  }
  f_.version = ver_ = r.frame.ver;
  if (r.frame.cid2 == 0) f_.groups.push_back(kRectifiers);
  if (r.frame.cid2 != 0 && r.frame.cid2 != kRtnVersion)
    f_.notes.push_back("41/4F: " + rtn_text(r.frame.cid2));
  if (ver_ != kPluginVersion)
    f_.reason = "protocol version " + hex2(ver_) + " (VER " + hex2(ver_) +
                "); the plug-in speaks " + hex2(kPluginVersion);
  return true;
}

void Prober::groups() {
  for (uint8_t g : {kAc, kDc}) {
    const Reply r = ask(g, kGetVersion);
    if (r.kind != Reply::Kind::kAnswer) continue;
    if (r.frame.cid2 == 0)
      f_.groups.push_back(g);
    else
      f_.notes.push_back(command_name(g, kGetVersion) + ": " + rtn_text(r.frame.cid2));
  }
  std::sort(f_.groups.begin(), f_.groups.end());
}

void Prober::identity() {
  const Reply a = ask(kRectifiers, kGetAddress);
  if (a.kind == Reply::Kind::kAnswer && a.frame.cid2 != 0)
    f_.notes.push_back("41/50: " + rtn_text(a.frame.cid2));
  const Reply m = ask(kRectifiers, kGetMaker);
  if (m.kind != Reply::Kind::kAnswer) return;
  if (m.frame.cid2 != 0) {
    f_.notes.push_back("41/51: " + rtn_text(m.frame.cid2));
    return;
  }
  f_.identity = decode_identity(m.frame.info);
}

std::vector<uint8_t> Prober::analog(uint8_t cid1, const std::vector<uint8_t>& data,
                                    bool& refused_arg) {
  Reply r = ask(cid1, kAnalog, data);
  // Firmware that takes no data byte refuses one as a format error: ask again without.
  if (r.kind == Reply::Kind::kAnswer && r.frame.cid2 == kRtnFormat && !data.empty()) {
    r = ask(cid1, kAnalog);
    refused_arg = r.kind == Reply::Kind::kAnswer && r.frame.cid2 == 0;
  }
  if (r.kind != Reply::Kind::kAnswer) return {};
  if (r.frame.cid2 != 0) {
    f_.notes.push_back(command_name(cid1, kAnalog) + ": " + rtn_text(r.frame.cid2));
    return {};
  }
  return r.frame.info;
}

void Prober::layout() {
  Layout& l = f_.layout;
  bool unused = false;
  const auto rc = analog(kRectifiers, {}, unused);
  decode_rectifiers(rc, l);
  if (f_.has_group(kAc)) decode_ac(analog(kAc, {0x01}, l.no_40_arg), l);
  if (f_.has_group(kDc)) decode_dc(analog(kDc, {0xFF}, l.no_42_arg), l);
  if (f_.reason.empty() && l.modules < 0)
    f_.reason = "no rectifier analog answer (41/41)" +
                (f_.notes.empty() ? std::string() : ": " + f_.notes.back());
}

}  // namespace

std::string rtn_text(uint8_t rtn) {
  static const char* const kNames[] = {"normal",        "VER error",    "CHKSUM error",
                                       "LCHKSUM error", "CID2 invalid", "command format error",
                                       "invalid data"};
  const std::string name = rtn < 7 ? kNames[rtn] : "device-specific error";
  return "RTN " + hex2(rtn) + " (" + name + ")";
}

std::optional<Found> probe_address(Exchanger& line, uint8_t address, int baud) {
  Found f;
  f.address = address;
  f.baud = baud;
  Prober p(line, f);
  if (!p.presence()) return std::nullopt;
  if (f.version < 0) return f;  // garbage only: nothing more to learn
  p.groups();
  p.identity();
  p.layout();
  return f;
}

}  // namespace klxscan
