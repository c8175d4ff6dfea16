#include "plugin/korvantis_419_provider.h"

#include "device/korvantis_419.h"

KLXSPDevice* korvantis_419Provider::create() const { return new korvantis_419(); }

extern "C" std::vector<std::shared_ptr<Provider>> get_providers() {
  std::vector<std::shared_ptr<Provider>> providers;
  providers.push_back(std::make_shared<korvantis_419Provider>());
  return providers;
}
