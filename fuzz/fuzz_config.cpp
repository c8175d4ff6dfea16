// The whole configuration file as klx-host reads it at start (one typed reading of every
// section). Only ConfigError may leave (the runner turns it into exit 2); whatever is taken holds
// only UTF-8 strings (they reach /metrics and JSON), unique data identifiers, and a listen
// address the server's own parser either takes or refuses with a reason.
#include <set>

#include "config.h"
#include "config_strings.h"
#include "fuzz_support.h"
#include "http_server.h"

using namespace klxhost;

namespace {

void check(const std::string& text) {
  SiteConfig c;
  try {
    c = parse_site_config(text, "c.json");
  } catch (const ConfigError&) {
    return;
  }
  require(!c.devices.empty(), "a taken configuration has a device");
  std::set<uint32_t> ids;
  for (const auto& d : c.devices) {
    require(ids.insert(d.data_id).second, "data identifiers are unique");
    require(valid_utf8(d.port), "the port is UTF-8");
    for (const auto& l : d.alarm_levels) require(valid_utf8(l.first), "alarm keys are UTF-8");
  }
  require(valid_utf8(c.mqtt.site) && valid_utf8(c.mqtt.prefix), "MQTT names are UTF-8");
  std::string host, error;
  unsigned short port = 0;
  if (!c.http.listen.empty() && !parse_listen(c.http.listen, host, port, error))
    require(!error.empty(), "a refused listen address says why");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_clock::reset();
  const std::string text(reinterpret_cast<const char*>(data), size);
  check(text);
  return 0;
}
