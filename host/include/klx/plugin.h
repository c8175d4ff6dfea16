#pragma once

#include <memory>
#include <string>
#include <vector>

#include "klx/provider.h"

namespace klx {

// This host's own: a plug-in loaded with dlopen and its serial-port device provider. Devices it
// created must be destroyed before it is.
class Plugin {
 public:
  // The plug-in at `path`; nullptr with the reason when it cannot be used.
  static std::unique_ptr<Plugin> load(const std::string& path, std::string& error);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  KLXSPDeviceProvider& provider() { return *provider_; }
  size_t provider_count() const { return providers_.size(); }

 private:
  Plugin() = default;
  void* handle_ = nullptr;
  std::vector<std::shared_ptr<Provider>> providers_;
  KLXSPDeviceProvider* provider_ = nullptr;
};

}  // namespace klx
