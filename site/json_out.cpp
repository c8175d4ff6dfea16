#include "json_out.h"

#include <charconv>
#include <cmath>

#include "config_strings.h"
#include "klx/hex.h"

namespace klxhost {

void append_json_string(std::string& out, const std::string& s) {
  out += '"';
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = utf8_length(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      klx::append_hex(out, &c, 1);
    } else {
      out.append(s, i, n);
    }
    i += n;
  }
  out += '"';
}

std::string json_float(float v) {
  if (!std::isfinite(v)) return "null";
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace klxhost
