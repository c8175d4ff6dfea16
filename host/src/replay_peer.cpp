#include <json/value.h>

#include <fstream>
#include <memory>
#include <stdexcept>

#include "klx/hex.h"
#include "klx/json_read.h"
#include "klx/replay.h"

namespace klx {
namespace {

// A script line holds at most one answer of 2047 info bytes: far below this.
constexpr size_t kMaxLine = 16384;
constexpr size_t kMaxEntries = 100000;
// About an hour of rounds at 9600 Bd; a script is read whole before the first command.
constexpr size_t kMaxScript = 16 << 20;

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw std::runtime_error(where + ": " + what);
}

std::vector<uint8_t> hex_bytes(const Json::Value& v, const std::string& where,
                               const std::string& key) {
  if (!v.isString()) fail(where, "\"" + key + "\" must be a hex string");
  const std::string s = v.asString();
  if (s.size() % 2) fail(where, "\"" + key + "\" has an odd number of hex digits");
  std::vector<uint8_t> out;
  out.reserve(s.size() / 2);
  if (!from_hex(s, out)) fail(where, "\"" + key + "\" is not hex: " + s);
  return out;
}

uint8_t one_byte(const Json::Value& v, const std::string& where, const std::string& key) {
  const auto b = hex_bytes(v, where, key);
  if (b.size() != 1) fail(where, "\"" + key + "\" must be one byte (two hex digits)");
  return b[0];
}

Json::Value parse_line(const std::string& line, const std::string& where) {
  Json::Value v;
  std::string errors;
  if (!parse_json(line, v, errors)) fail(where, "not JSON: " + errors);
  if (!v.isObject()) fail(where, "not a JSON object");
  return v;
}

ReplayEntry entry_of(const Json::Value& v, const std::string& where, ReplayPeer::Key& key) {
  for (const auto& name : v.getMemberNames())
    if (name != "cid1" && name != "cid2" && name != "info" && name != "rtn" && name != "timeout")
      fail(where, "unknown key \"" + name + "\"");
  if (!v.isMember("cid1") || !v.isMember("cid2")) fail(where, "\"cid1\" and \"cid2\" are needed");
  key = {one_byte(v["cid1"], where, "cid1"), one_byte(v["cid2"], where, "cid2")};
  ReplayEntry e;
  if (v.isMember("timeout")) {
    if (!v["timeout"].isBool()) fail(where, "\"timeout\" must be true or false");
    e.timeout = v["timeout"].asBool();
  }
  if (v.isMember("rtn")) e.rtn = one_byte(v["rtn"], where, "rtn");
  if (v.isMember("info")) e.info = hex_bytes(v["info"], where, "info");
  if (e.info.size() > kFrameMaxInfoBytes) fail(where, "\"info\" is longer than a frame holds");
  return e;
}

// One line without its line feed, read no further than kMaxLine characters (false at the end of
// the stream); `total` counts every character read.
bool bounded_line(std::istream& in, std::string& line, size_t& total, const std::string& where) {
  line.clear();
  std::streambuf* buf = in.rdbuf();
  for (int c = buf->sbumpc();; c = buf->sbumpc()) {
    if (c == std::char_traits<char>::eof()) return !line.empty();
    if (++total > kMaxScript) fail(where, "the script is larger than 16 MiB");
    if (c == '\n') return true;
    if (line.size() == kMaxLine) fail(where, "line too long");
    line.push_back(static_cast<char>(c));
  }
}

}  // namespace

std::unique_ptr<ReplayPeer> ReplayPeer::from_stream(std::istream& in, const std::string& name) {
  std::unique_ptr<ReplayPeer> peer(new ReplayPeer());
  std::string line;
  size_t entries = 0, total = 0;
  for (size_t number = 1;; ++number) {
    const std::string where = name + " line " + std::to_string(number);
    if (!bounded_line(in, line, total, where)) break;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (++entries > kMaxEntries) fail(where, "too many entries");
    Key key;
    ReplayEntry e = entry_of(parse_line(line, where), where, key);
    peer->script_[key].push_back(std::move(e));
  }
  if (in.bad()) fail(name, "read error");
  return peer;
}

std::string ReplayPeer::line_of(uint8_t cid1, uint8_t cid2, const Frame* answer) {
  static const char kDigits[] = "0123456789abcdef";
  const auto hex = [](const uint8_t* b, size_t n) {
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) out += {kDigits[b[i] >> 4], kDigits[b[i] & 15]};
    return out;
  };
  std::string line = "{\"cid1\":\"" + hex(&cid1, 1) + "\",\"cid2\":\"" + hex(&cid2, 1) + "\"";
  if (!answer) return line + ",\"timeout\":true}";
  if (answer->cid2 != 0) line += ",\"rtn\":\"" + hex(&answer->cid2, 1) + "\"";
  if (!answer->info.empty())
    line += ",\"info\":\"" + hex(answer->info.data(), answer->info.size()) + "\"";
  return line + "}";
}

std::unique_ptr<ReplayPeer> ReplayPeer::from_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) fail(path, "cannot open");
  return from_stream(in, path);
}

std::vector<TimedChunk> ReplayPeer::respond(const std::vector<uint8_t>& written) {
  std::vector<TimedChunk> out;
  for (const Frame& command : parser_.feed(written.data(), written.size())) {
    auto bytes = answer(command);
    if (!bytes.empty()) out.push_back({0, std::move(bytes)});
  }
  return out;
}

std::vector<uint8_t> ReplayPeer::answer(const Frame& command) {
  const Key key{command.cid1, command.cid2};
  const auto it = script_.find(key);
  if (it == script_.end() || it->second.empty()) {
    ++unanswered_;
    return {};
  }
  size_t& next = next_[key];
  const ReplayEntry& e = it->second[next];
  if (next + 1 < it->second.size()) ++next;
  if (e.timeout) {
    ++unanswered_;
    return {};
  }
  ++answered_;
  const std::string frame =
      encode_frame(command.ver, command.adr, command.cid1, e.rtn, e.info.data(), e.info.size());
  return std::vector<uint8_t>(frame.begin(), frame.end());
}

}  // namespace klx
