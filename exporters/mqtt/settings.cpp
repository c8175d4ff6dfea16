#include "settings.h"

#include <cstdlib>

namespace klxhost {
namespace {

bool parse_port(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::atoi(text.c_str());
  return port >= 1 && port <= 65535;
}

// HOST[:PORT] with HOST possibly "[v6]".
bool split_host(const std::string& text, MqttUrl& out) {
  std::string rest;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close == 1) return false;
    out.host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else {
    const size_t colon = text.find(':');
    out.host = text.substr(0, colon);
    rest = colon == std::string::npos ? "" : text.substr(colon);
  }
  if (out.host.empty()) return false;
  if (rest.empty()) return true;
  return rest[0] == ':' && parse_port(rest.substr(1), out.port);
}

}  // namespace

bool parse_mqtt_url(const std::string& text, MqttUrl& out, std::string& error) {
  out = MqttUrl{};
  std::string rest;
  if (text.rfind("mqtt://", 0) == 0) {
    rest = text.substr(7);
  } else if (text.rfind("mqtts://", 0) == 0) {
    out.tls = true;
    rest = text.substr(8);
  } else {
    error = "must start with mqtt:// or mqtts://";
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    out.user = rest.substr(0, at);
    rest = rest.substr(at + 1);
    if (out.user.empty() || out.user.find(':') != std::string::npos) {
      error = "names a user with a password or an empty one (give the password in a file)";
      return false;
    }
  }
  out.port = out.tls ? 8883 : 1883;
  if (rest.find('/') != std::string::npos || !split_host(rest, out)) {
    error = "must be mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT]";
    return false;
  }
  return true;
}

std::string redacted_url(const std::string& text) {
  const size_t scheme = text.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t at = text.rfind('@');
  if (at == std::string::npos || at < start) return text;
  const size_t colon = text.find(':', start);
  if (colon == std::string::npos || colon > at) return text;
  return text.substr(0, colon + 1) + "***" + text.substr(at);
}

bool valid_topic_level(const std::string& s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

}  // namespace klxhost
