// Loads an installed plug-in the way the host does and creates one device from it. It does not
// link the host library, so the plug-in must find libklxhost.so.0 through its own RUNPATH: this
// proves an unpacked package works in its installed layout. Usage: klx-load-check PLUGIN.so
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "klx/provider.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

int fail(const char* what, const char* detail) {
  std::fprintf(stderr, "klx-load-check: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return fail("usage: klx-load-check PLUGIN.so", nullptr);
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) return fail("cannot load the plug-in", dlerror());
  auto get = reinterpret_cast<GetProviders>(dlsym(lib, "get_providers"));
  if (!get) return fail("no get_providers", argv[1]);
  {
    const auto providers = get();
    if (providers.size() != 1) return fail("expected one provider", nullptr);
    auto* sp = dynamic_cast<const KLXSPDeviceProvider*>(providers[0].get());
    if (!sp) return fail("the provider is not a serial-port device provider", nullptr);
    std::unique_ptr<KLXSPDevice> device(sp->create());
    if (!device) return fail("create() gave no device", nullptr);
    std::printf("loaded %s: device type %s\n", argv[1], device->DeviceType().c_str());
  }
  dlclose(lib);
  return 0;
}
