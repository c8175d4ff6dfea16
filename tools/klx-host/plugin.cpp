#include "plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace klxhost {
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

std::string default_plugin_path(const char* argv0) {
  std::string self;
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0)
    self.assign(buf, static_cast<size_t>(n));
  else if (argv0)
    self = argv0;
  const auto slash = self.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
  return dir + "/../lib/korvantis_419.so";
}

}  // namespace klxhost
