#include "config_strings.h"

#include "config.h"

namespace klxhost {
namespace {

// The path of the first bad string below `v`, or empty.
std::string first_bad(const Json::Value& v, const std::string& path) {
  if (v.isString()) return valid_utf8(v.asString()) ? std::string() : path.empty() ? "text" : path;
  if (v.isArray())
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
      const std::string bad = first_bad(v[i], path + "[" + std::to_string(i) + "]");
      if (!bad.empty()) return bad;
    }
  if (v.isObject())
    for (const auto& key : v.getMemberNames()) {
      const std::string at = path + (path.empty() ? "\"" : ".\"");
      if (!valid_utf8(key)) return at + "(a key)\"";
      const std::string bad = first_bad(v[key], at + key + "\"");
      if (!bad.empty()) return bad;
    }
  return {};
}

}  // namespace

size_t utf8_length(const std::string& s, size_t i) {
  const auto byte = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned min = 0;
  if ((c & 0xE0) == 0xC0)
    n = 2, min = 0x80;
  else if ((c & 0xF0) == 0xE0)
    n = 3, min = 0x800;
  else if ((c & 0xF8) == 0xF0)
    n = 4, min = 0x10000;
  else
    return 0;
  if (i + n > s.size()) return 0;
  unsigned cp = c & (0x7Fu >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (byte(i + k) & 0x3F);
  }
  return cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ? 0 : n;
}

bool valid_utf8(const std::string& s) {
  for (size_t i = 0, n; i < s.size(); i += n)
    if ((n = utf8_length(s, i)) == 0) return false;
  return true;
}

void check_utf8_strings(const Json::Value& root, const std::string& name) {
  const std::string bad = first_bad(root, "");
  if (!bad.empty()) throw ConfigError(name + ": " + bad + " is not valid UTF-8");
}

}  // namespace klxhost
