#pragma once

// Mirrors the closed host's interface (the provider bases behind get_providers). The plug-in is
// built against it: names, types, layouts and the order of virtual operations stay as they are.

#include "klx/spdevice.h"

// Provider bases of the host. They are declared inline on purpose: their type information and
// virtual tables are emitted into each plug-in.
class Provider {
 public:
  Provider() {}
  virtual ~Provider() {}
};

class KLXSPDeviceProvider : public Provider {
 public:
  KLXSPDeviceProvider() {}
  ~KLXSPDeviceProvider() override {}
  virtual KLXSPDevice* create() const = 0;
};
