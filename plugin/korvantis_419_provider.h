#pragma once

#include <memory>
#include <vector>

#include "klx/provider.h"

// Creates the plug-in's devices for the host.
class korvantis_419Provider : public KLXSPDeviceProvider {
 public:
  ~korvantis_419Provider() override {}
  // A fresh device with its defaults; the host owns it and configures it afterwards.
  KLXSPDevice* create() const override;
};

// The plug-in's one exported entry: a new provider each call. The host is C++ and looks the
// entry up by its plain name, hence C linkage for a C++ return type.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" std::vector<std::shared_ptr<Provider>> get_providers();
#ifdef __clang__
#pragma clang diagnostic pop
#endif
