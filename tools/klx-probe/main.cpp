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
#include "klx/provider.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

struct PublishProbe : klx::DeviceEvents {
  size_t last_size = 0;
  void on_publish(KLXVDevice&, int, const uint8_t*, size_t length) override {
    last_size = length;
  }
};

std::string default_plugin(const char* argv0) {
  std::string self(argv0);
  const auto slash = self.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
  return dir + "/../lib/korvantis_419.so";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : default_plugin(argv[0]);
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
  std::cerr << "klx-probe: providers " << providers.size() << ", device type "
            << dev->DeviceType() << ", record " << probe.last_size << " bytes"
            << (restored ? "" : " (cache restore not available)") << "\n";
  dev.reset();
  providers.clear();
  dlclose(lib);
  return 0;
}
