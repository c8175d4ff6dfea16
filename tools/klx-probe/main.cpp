// Loads the plug-in the way the host does and shows what it provides: the provider, one device
// configured from optional settings, its type and the size of the record it publishes.
#include <json/value.h>

#include <iostream>
#include <memory>
#include <string>

#include "klx/device_setup.h"
#include "klx/events.h"
#include "klx/plugin.h"
#include "klx/plugin_path.h"

namespace {

struct PublishProbe : klx::DeviceEvents {
  size_t last_size = 0;
  void on_publish(KLXVDevice&, int, const uint8_t*, size_t length) override { last_size = length; }
};

constexpr const char* kUsage =
    "usage: klx-probe [PLUGIN.so]\n"
    "Loads the plug-in as the host does (default: the one beside this program) and shows its\n"
    "provider, the type of a device it creates and the size of the record it publishes.\n";

// The plug-in to load, or an exit code: --help prints the usage, any other option is refused.
int plugin_argument(int argc, char** argv, std::string& path) {
  if (argc > 2) return std::cerr << "klx-probe: one plug-in at most\n" << kUsage, 2;
  const std::string arg = argc > 1 ? argv[1] : "";
  if (arg == "-h" || arg == "--help") return std::cout << kUsage, 0;
  if (!arg.empty() && arg[0] == '-')
    return std::cerr << "klx-probe: unknown option " << arg << "\n" << kUsage, 2;
  path = arg.empty() ? klx::default_plugin_path() : arg;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path, error;
  if (const int rc = plugin_argument(argc, argv, path); rc >= 0) return rc;
  auto plugin = klx::Plugin::load(path, error);
  if (!plugin) {
    std::cerr << "klx-probe: " << error << "\n";
    return 1;
  }
  std::unique_ptr<KLXSPDevice> dev(plugin->provider().create());
  auto* proto = dynamic_cast<PMBusProtocol*>(dev.get());
  if (!proto) {
    std::cerr << "klx-probe: the plug-in's device has no protocol layer\n";
    return 1;
  }
  PublishProbe probe;
  klx::set_up_device(*proto, &probe, 1, 1, Json::Value(Json::objectValue));
  const std::string blank(587, '\0');
  const bool restored = dev->LoadFromCache(blank);
  std::cerr << "klx-probe: providers " << plugin->provider_count() << ", device type "
            << dev->DeviceType() << ", record " << probe.last_size << " bytes"
            << (restored ? "" : " (cache restore not available)") << "\n";
  return 0;
}
