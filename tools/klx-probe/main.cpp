// Loads the plug-in the way the host does and shows what it provides: the provider, one device
// configured from optional settings, its type and the size of the record it publishes.
#include <dlfcn.h>
#include <json/reader.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "klx/events.h"
#include "klx/plugin_path.h"
#include "klx/provider.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

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
  std::string path;
  if (const int rc = plugin_argument(argc, argv, path); rc >= 0) return rc;
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::cerr << "klx-probe: cannot load " << path << ": " << dlerror() << "\n";
    return 1;
  }
  auto get = reinterpret_cast<GetProviders>(dlsym(lib, "get_providers"));
  if (!get) {
    std::cerr << "klx-probe: " << path << " has no get_providers\n";
    return 1;
  }
  auto providers = get();
  auto* sp = dynamic_cast<KLXSPDeviceProvider*>(providers.at(0).get());
  if (!sp) {
    std::cerr << "klx-probe: the provider is not a serial-port device provider\n";
    return 1;
  }
  std::unique_ptr<KLXSPDevice> dev(sp->create());
  dev->Init({}, 1, Json::Value());
  dev->InitSetting(Json::Value(Json::objectValue));
  PublishProbe probe;
  dev->set_events(&probe);
  const std::string blank(587, '\0');
  const bool restored = dev->LoadFromCache(blank);
  std::cerr << "klx-probe: providers " << providers.size() << ", device type " << dev->DeviceType()
            << ", record " << probe.last_size << " bytes"
            << (restored ? "" : " (cache restore not available)") << "\n";
  dev.reset();
  providers.clear();
  dlclose(lib);
  return 0;
}
