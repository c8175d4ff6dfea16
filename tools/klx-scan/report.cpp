#include "report.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>

namespace klxscan {
namespace {

std::string hex2(int v) {
  char s[8];
  std::snprintf(s, sizeof s, "0x%02X", v & 0xFF);
  return s;
}

std::string groups_text(const Found& f) {
  std::string s;
  for (uint8_t g : f.groups) s += (s.empty() ? "" : ",") + hex2(g).substr(2);
  return s.empty() ? "-" : s;
}

std::string count_text(int n) { return n < 0 ? "-" : std::to_string(n); }

std::string dc_text(const Layout& l) {
  if (l.dc_panels < 0) return "-";
  return std::to_string(l.dc_panels) + (l.dc_count_byte == 1 ? " (count)" : " (no count)");
}

std::string or_dash(const std::string& s) { return s.empty() ? "-" : s; }

// Pads by terminal columns, not bytes, so a GB18030 maker name decoded to UTF-8 lines up: a
// character from U+3000 on (CJK, full width) takes two.
std::string pad(const std::string& s, size_t width) {
  size_t chars = 0;
  for (unsigned char c : s) chars += (c & 0xC0) == 0x80 ? 0 : (c >= 0xE3 ? 2 : 1);
  return chars >= width ? s + " " : s + std::string(width - chars, ' ');
}

}  // namespace

void print_table(std::ostream& out, const std::vector<Found>& found) {
  out << pad("ADDR", 6) << pad("BAUD", 7) << pad("VER", 6) << pad("GROUPS", 10) << pad("AC", 4)
      << pad("MODULES", 9) << pad("DC", 14) << pad("DEVICE", 12) << pad("SOFTWARE", 10)
      << pad("MAKER", 22) << "STATUS\n";
  for (const Found& f : found) {
    const Layout& l = f.layout;
    out << pad(std::to_string(f.address), 6) << pad(std::to_string(f.baud), 7)
        << pad(f.version < 0 ? "-" : hex2(f.version), 6) << pad(groups_text(f), 10)
        << pad(count_text(l.ac_lines), 4) << pad(count_text(l.modules), 9) << pad(dc_text(l), 14)
        << pad(or_dash(f.identity.device_name), 12) << pad(or_dash(f.identity.software_version), 10)
        << pad(or_dash(f.identity.maker), 22) << (f.usable() ? "ok" : f.reason) << "\n";
  }
}

Json::Value to_json(const std::vector<Found>& found) {
  Json::Value list(Json::arrayValue);
  for (const Found& f : found) {
    Json::Value d;
    d["address"] = f.address;
    d["baud"] = f.baud;
    d["version"] = f.version < 0 ? Json::Value() : Json::Value(hex2(f.version));
    d["groups"] = Json::Value(Json::arrayValue);
    for (uint8_t g : f.groups) d["groups"].append(hex2(g));
    d["status"] = f.usable() ? "ok" : "fault";
    if (!f.usable()) d["reason"] = f.reason;
    if (f.identity.known) {
      d["manufacturer"]["device_name"] = f.identity.device_name;
      d["manufacturer"]["software_version"] = f.identity.software_version;
      d["manufacturer"]["maker"] = f.identity.maker;
    }
    const Layout& l = f.layout;
    Json::Value& lay = d["layout"];
    lay = Json::Value(Json::objectValue);
    if (l.ac_lines >= 0) lay["ac_lines"] = l.ac_lines;
    if (l.modules >= 0) lay["modules"] = l.modules;
    if (l.dc_panels >= 0) lay["dc_panels"] = l.dc_panels;
    if (l.dc_count_byte >= 0) lay["dc_panel_count_byte"] = l.dc_count_byte == 1;
    if (f.has_group(0x40)) lay["no_40_arg"] = l.no_40_arg;
    if (f.has_group(0x42)) lay["no_42_arg"] = l.no_42_arg;
    d["notes"] = Json::Value(Json::arrayValue);
    for (const auto& n : f.notes) d["notes"].append(n);
    list.append(d);
  }
  return list;
}

namespace {

std::string number_text(float v) {
  std::ostringstream s;
  s << std::setprecision(6) << v;
  return s.str();
}

// One device's settings, each with the note saying why.
Json::Value device_config(const Found& f, const std::string& port) {
  Json::Value d;
  Json::Value notes(Json::arrayValue);
  const Layout& l = f.layout;
  std::string who = "found at address " + std::to_string(f.address) + ", " +
                    std::to_string(f.baud) + " Bd, protocol version " + hex2(f.version);
  if (f.identity.known)
    who += ": " + f.identity.device_name + " " + f.identity.software_version + " by " +
           f.identity.maker;
  notes.append(who + "; data_id is its address");
  Json::Value& app = d["settings"]["appSetting"];
  const bool ac = f.has_group(0x40);
  app["has_ac"] = ac ? "1" : "0";
  notes.append(ac ? "has_ac 1: the AC group (40H) answered, " + count_text(l.ac_lines) + " lines"
                  : "has_ac 0: the AC group (40H) did not answer the version query");
  const bool dc = f.has_group(0x42);
  app["has_dc"] = dc ? "1" : "0";
  notes.append(dc ? "has_dc 1: the DC group (42H) answered, " + count_text(l.dc_panels) + " panels"
                  : "has_dc 0: the DC group (42H) did not answer the version query");
  if (l.dc_count_byte >= 0) {
    app["no_dc_number"] = l.dc_count_byte == 1 ? "0" : "1";
    notes.append(std::string("no_dc_number ") + (l.dc_count_byte == 1 ? "0" : "1") +
                 ": the 4 bytes after the DC data flag read " + number_text(l.dc_first_value) +
                 (l.dc_count_byte == 1 ? ", not a bus voltage: a panel-count byte comes first"
                                       : ", a bus voltage (40 to 60): no panel-count byte"));
  }
  if (l.no_40_arg) {
    app["no_40_arg"] = "1";
    notes.append(
        "no_40_arg 1: 40/41 with a data byte was refused (RTN 0x05), without one answered");
  }
  if (l.no_42_arg) {
    app["no_42_arg"] = "1";
    notes.append(
        "no_42_arg 1: 42/41 with a data byte was refused (RTN 0x05), without one answered");
  }
  notes.append(std::to_string(l.modules) +
               " rectifier modules; has_tower and skip_41_41 are not "
               "detected: set them from the firmware's documentation if it needs them");
  if (f.baud != 9600)
    notes.append("the plug-in polls at 9600 Bd: set the device's port to 9600 Bd");
  d["_comment"] = notes;
  d["data_id"] = f.address;
  d["address"] = f.address;
  d["port"] = port;
  return d;
}

}  // namespace

Json::Value to_config(const std::vector<Found>& found, const std::string& port) {
  Json::Value root;
  Json::Value notes(Json::arrayValue);
  notes.append("written by klx-scan from what answered on " + port);
  root["devices"] = Json::Value(Json::arrayValue);
  for (const Found& f : found) {
    if (f.usable())
      root["devices"].append(device_config(f, port));
    else
      notes.append("address " + std::to_string(f.address) + " left out: " + f.reason);
  }
  root["_comment"] = notes;
  return root;
}

bool write_file(const std::string& path, const std::string& text, bool force, std::string& error) {
  std::string tmp = path + ".XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0) return error = path + ": " + std::strerror(errno), false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  const bool written = done == text.size() && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  if (!written) {
    unlink(tmp.c_str());
    return error = path + ": " + std::strerror(saved), false;
  }
  // link() never replaces an existing file: a file that appeared meanwhile is not lost.
  const bool placed =
      force ? rename(tmp.c_str(), path.c_str()) == 0 : link(tmp.c_str(), path.c_str()) == 0;
  const int why = errno;
  if (!force || !placed) unlink(tmp.c_str());
  if (placed) return true;
  error = why == EEXIST ? path + " exists; --force replaces it" : path + ": " + std::strerror(why);
  return false;
}

}  // namespace klxscan
