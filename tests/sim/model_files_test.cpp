// Every model shipped in sim/models, polled by the plug-in configured with the device options its
// quirks name: a full round decodes to the model's values.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/answers.h"
#include "sim_test_util.h"
#include "support/fake_clock.h"

namespace {

std::vector<std::string> shipped_models() {
  std::vector<std::string> out;
  const std::string dir = KLX_SOURCE_DIR "/sim/models";
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
        out.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string settings_for(const sim::Model& m) {
  const sim::Quirks& q = m.quirks;
  return std::string(R"({"appSetting": {)") + "\"has_ac\": " + (m.ac.present ? "1" : "0") +
         ", \"has_dc\": " + (m.dc.present ? "1" : "0") +
         ", \"has_tower\": " + (q.has_tower ? "1" : "0") +
         ", \"skip_41_41\": " + std::to_string(q.skip_41_41) +
         ", \"no_dc_number\": " + (q.no_dc_number ? "1" : "2") +
         ", \"no_40_arg\": " + (q.no_40_arg ? "1" : "0") +
         ", \"no_42_arg\": " + (q.no_42_arg ? "1" : "0") + "}}";
}

float sent(const sim::WireValue& v, float if_absent) { return v.is_absent() ? if_absent : v.value; }

TEST(ShippedModels, APluginRoundGivesBackTheModel) {
  const auto models = shipped_models();
  ASSERT_GE(models.size(), 2u);
  for (const std::string& path : models) {
    SCOPED_TRACE(path);
    test_clock::Frozen frozen;
    simtest::ManualClock clock;
    sim::Simulator s(sim::load_model_file(path), 1, clock.fn());
    const sim::Model& m = s.model();
    TestDevice dev;
    dev.configure(settings_for(m));
    simtest::run_round(dev, s);
    ASSERT_EQ(dev.rec.published.size(), 1u);
    const auto& d = dev.data_;
    for (size_t i = 0; i < std::min<size_t>(m.ac.lines.size(), AC_CHANNEL_MAX); ++i) {
      EXPECT_EQ(d.acChannel[i].a.get(), sent(m.ac.lines[i].a, 0.0f)) << i;
      EXPECT_EQ(d.acChannel[i].c.get(), sent(m.ac.lines[i].c, 0.0f)) << i;
      EXPECT_EQ(d.acChannel[i].f.get(), sent(m.ac.lines[i].f, 0.0f)) << i;
    }
    EXPECT_EQ(d.ac.ac_a.get(), sent(m.ac.values[0], -0.1f));
    EXPECT_EQ(d.rc_voltage.get(), m.rectifiers.voltage.value);
    ASSERT_EQ(d.rc_channel_count, m.rectifiers.modules.size());
    for (size_t i = 0; i < std::min<size_t>(m.rectifiers.modules.size(), RC_CHANNEL_MAX); ++i)
      EXPECT_EQ(d.rcChannel[i].current.get(), sim::module_current(m, m.rectifiers.modules[i]).value)
          << i;
    if (m.dc.present) {
      EXPECT_EQ(d.dc.voltage.get(), m.dc.panels[0].voltage.value);
      EXPECT_EQ(d.dc.current.get(), m.dc.panels[0].current.value);
    }
  }
}

}  // namespace
