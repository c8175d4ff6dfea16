// The plug-in as the host sees it: a shared object loaded at run time, one exported entry, a
// provider that creates independent devices.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "device/korvantis_419.h"
#include "klx/provider.h"
#include "plugin/korvantis_419_provider.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

struct Plugin {
  void* handle = dlopen(KLX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ~Plugin() {
    if (handle) dlclose(handle);
  }
  GetProviders entry() const {
    return reinterpret_cast<GetProviders>(dlsym(handle, "get_providers"));
  }
};

TEST(PluginLoad, ExportsOneProviderThatCreatesIndependentDevices) {
  Plugin plugin;
  ASSERT_NE(plugin.handle, nullptr) << dlerror();
  const GetProviders get = plugin.entry();
  ASSERT_NE(get, nullptr);

  auto providers = get();
  ASSERT_EQ(providers.size(), 1u);
  ASSERT_NE(providers[0], nullptr);
  EXPECT_NE(dynamic_cast<korvantis_419Provider*>(providers[0].get()), nullptr);
  auto again = get();
  EXPECT_NE(again[0].get(), providers[0].get());

  auto* sp = dynamic_cast<KLXSPDeviceProvider*>(providers[0].get());
  ASSERT_NE(sp, nullptr);
  std::unique_ptr<KLXSPDevice> a(sp->create());
  std::unique_ptr<KLXSPDevice> b(sp->create());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(a->DeviceType(), "korvantis_419");

  Json::Value settings;
  settings["appSetting"]["has_dc"] = 1;
  a->data_id_ = 11;
  b->data_id_ = 12;
  a->InitSetting(settings);
  b->InitSetting(Json::Value());
  auto* ka = dynamic_cast<korvantis_419*>(a.get());
  auto* kb = dynamic_cast<korvantis_419*>(b.get());
  ASSERT_NE(ka, nullptr);
  ASSERT_NE(kb, nullptr);
  EXPECT_TRUE(ka->has_dc_);
  EXPECT_FALSE(kb->has_dc_);
  EXPECT_EQ(ka->data_.data_id.get(), 11u);
  EXPECT_EQ(kb->data_.data_id.get(), 12u);
}

// The only symbol of C linkage the plug-in defines is its entry.
TEST(PluginLoad, DefinesNoOtherDynamicSymbol) {
  const std::string cmd = "nm -D --defined-only " KLX_PLUGIN_PATH " 2>/dev/null";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) GTEST_SKIP() << "nm not available";
  std::vector<std::string> names;
  char line[512];
  while (fgets(line, sizeof line, pipe)) {
    std::string s(line);
    const auto space = s.find_last_of(' ');
    // A lower-case type is a local symbol (MIPS keeps some in .dynsym); nothing binds to it.
    if (space < 2 || std::islower(static_cast<unsigned char>(s[space - 1]))) continue;
    names.push_back(s.substr(space + 1, s.find_last_not_of("\r\n") - space));
  }
  const int status = pclose(pipe);
  if (status != 0 || names.empty()) GTEST_SKIP() << "nm cannot read the plug-in";
  EXPECT_EQ(names, std::vector<std::string>{"get_providers"});
}

}  // namespace
