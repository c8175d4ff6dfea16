#include "decode.h"

#include <iconv.h>

#include <cstring>

#include "klx/hex.h"

namespace klxscan {
namespace {

constexpr size_t kNameBytes = 10;
constexpr size_t kMakerBytes = 20;

bool plain_ascii(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c >= 0x7F) return false;
  return true;
}

// GB18030 to UTF-8; false when the bytes are not GB18030.
bool from_gb18030(const std::string& in, std::string& out) {
  const iconv_t cd = iconv_open("UTF-8", "GB18030");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string src = in;
  std::string dst(in.size() * 4 + 4, '\0');
  char* s = src.data();
  char* d = dst.data();
  size_t left = src.size(), room = dst.size();
  const bool ok = iconv(cd, &s, &left, &d, &room) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return false;
  dst.resize(dst.size() - room);
  out = dst;
  return true;
}

std::string escaped(const std::string& in) {
  std::string out;
  for (unsigned char c : in) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      klx::append_hex(out, &c, 1, false);
    }
  }
  return out;
}

// C0 controls, DEL and the C1 controls (U+0080 to U+009F, C2 80 to C2 9F in UTF-8).
bool has_control(const std::string& utf8) {
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0)
      return true;
  }
  return false;
}

float le_float(const uint8_t* p) {
  uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

}  // namespace

std::string field_text(const uint8_t* bytes, size_t n) {
  std::string raw(reinterpret_cast<const char*>(bytes), n);
  while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\0')) raw.pop_back();
  if (plain_ascii(raw)) return raw;
  std::string text;
  // GB18030 maps control bytes to control characters: a field holding one is no name, and the
  // table would hand it to the terminal.
  return from_gb18030(raw, text) && !has_control(text) ? text : escaped(raw);
}

Identity decode_identity(const std::vector<uint8_t>& info) {
  Identity id;
  id.known = true;
  const size_t n = info.size();
  id.device_name = field_text(info.data(), std::min(n, kNameBytes));
  if (n >= kNameBytes + 2)
    id.software_version =
        std::to_string(info[kNameBytes]) + "." + std::to_string(info[kNameBytes + 1]);
  if (n > kNameBytes + 2)
    id.maker = field_text(info.data() + kNameBytes + 2, std::min(n - kNameBytes - 2, kMakerBytes));
  return id;
}

// flag | lines | ...
void decode_ac(const std::vector<uint8_t>& info, Layout& layout) {
  if (info.size() >= 2) layout.ac_lines = info[1];
}

// flag | voltage (4) | modules | ...
void decode_rectifiers(const std::vector<uint8_t>& info, Layout& layout) {
  if (info.size() >= 6) layout.modules = info[5];
}

void decode_dc(const std::vector<uint8_t>& info, Layout& layout) {
  if (info.size() < 2) return;
  if (info.size() >= 5) {
    layout.dc_first_value = le_float(info.data() + 1);
    if (layout.dc_first_value > 40.0f && layout.dc_first_value < 60.0f) {
      layout.dc_count_byte = 0;
      layout.dc_panels = 1;
      return;
    }
  }
  layout.dc_count_byte = 1;
  layout.dc_panels = info[1];
}

}  // namespace klxscan
