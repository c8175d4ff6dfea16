#include "klx/plugin.h"

#include <dlfcn.h>

namespace klx {
namespace {
using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
}

std::unique_ptr<Plugin> Plugin::load(const std::string& path, std::string& error) {
  std::unique_ptr<Plugin> p(new Plugin());
  p->handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!p->handle_) {
    const char* why = dlerror();
    error = "cannot load " + path + ": " + (why ? why : "unknown reason");
    return nullptr;
  }
  auto get = reinterpret_cast<GetProviders>(dlsym(p->handle_, "get_providers"));
  if (!get) {
    error = path + " has no get_providers";
    return nullptr;
  }
  p->providers_ = get();
  for (const auto& provider : p->providers_)
    if (!p->provider_) p->provider_ = dynamic_cast<KLXSPDeviceProvider*>(provider.get());
  if (!p->provider_) {
    error = path + " provides no serial-port device";
    return nullptr;
  }
  return p;
}

Plugin::~Plugin() {
  providers_.clear();
  if (handle_) dlclose(handle_);
}

}  // namespace klx
