#include "sim/identity.h"

#include <errno.h>
#include <iconv.h>

#include <memory>
#include <stdexcept>

namespace sim {
namespace {

// Power systems of this family are built for a Chinese market: their texts are GB2312 (of which
// GB18030 is the superset glibc converts), not UTF-8.
constexpr const char* kWireCharset = "GB18030";

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

}  // namespace

Bytes wire_text(const std::string& utf8, size_t width) {
  const iconv_t cd = iconv_open(kWireCharset, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1))
    throw std::runtime_error(std::string("no ") + kWireCharset + " converter");
  const std::unique_ptr<void, IconvCloser> hold(cd);
  std::string in = utf8;
  Bytes out(in.size() * 4 + 4);
  char* src = in.data();
  size_t left = in.size();
  char* dst = reinterpret_cast<char*>(out.data());
  size_t room = out.size();
  if (iconv(cd, &src, &left, &dst, &room) == static_cast<size_t>(-1))
    throw std::runtime_error("\"" + utf8 + "\" has no " + kWireCharset + " form");
  out.resize(out.size() - room);
  if (out.size() > width)
    throw std::runtime_error("\"" + utf8 + "\" takes " + std::to_string(out.size()) +
                             " bytes, more than its " + std::to_string(width) + "-byte field");
  out.resize(width, ' ');
  return out;
}

Bytes info_51(const Model& m) {
  const Identity& id = m.identity;
  Bytes info = wire_text(id.device_name, kDeviceNameBytes);
  info.push_back(id.software_major);
  info.push_back(id.software_minor);
  const Bytes maker = wire_text(id.maker, kMakerBytes);
  info.insert(info.end(), maker.begin(), maker.end());
  return info;
}

void check_identity(const Identity& id, const std::string& origin) {
  try {
    wire_text(id.device_name, kDeviceNameBytes);
    wire_text(id.maker, kMakerBytes);
  } catch (const std::exception& e) {
    throw std::runtime_error(origin + ": manufacturer: " + e.what());
  }
}

}  // namespace sim
