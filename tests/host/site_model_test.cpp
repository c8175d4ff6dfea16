#include "klx/site_model.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "acquisition/record.h"

namespace {

using klx::DeviceLayout;
using klx::ModuleState;
using Record = korvantis_419_Data_t;

klx::PlantReading read(const Record& r, const DeviceLayout& layout) {
  return klx::read_plant(reinterpret_cast<const uint8_t*>(&r), sizeof r, layout);
}

DeviceLayout with_dc() {
  DeviceLayout l;
  l.has_dc = true;
  return l;
}

// Every way the record says "no value" reads as absent; a plain 0.0 is a value.
TEST(SiteModel, AbsentMarkersAreNoValue) {
  const uint8_t all_equal[4] = {0x20, 0x20, 0x20, 0x20};
  struct Case {
    const char* name;
    float value;
    bool raw_all_equal;
    bool present;
  } cases[] = {{"marker", kInvalidValue, false, false},
               {"nan", std::numeric_limits<float>::quiet_NaN(), false, false},
               {"inf", std::numeric_limits<float>::infinity(), false, false},
               {"all equal bytes", 0, true, false},
               {"zero", 0.0f, false, true},
               {"value", 53.5f, false, true}};
  for (const Case& c : cases) {
    Record r{};
    r.rc_voltage = c.value;
    if (c.raw_all_equal) r.rc_voltage.set_raw(all_equal);
    const auto p = read(r, {});
    EXPECT_EQ(p.shelf.voltage.has_value(), c.present) << c.name;
  }
}

TEST(SiteModel, RecordOfAnotherSizeIsNotAReading) {
  const std::vector<uint8_t> short_record(100, 0);
  EXPECT_FALSE(klx::read_plant(short_record, {}).valid);
  Record r{};
  EXPECT_TRUE(read(r, {}).valid);
}

// Only configured phases carry a value; a configured phase at 0 V is a dead phase, not a gap.
TEST(SiteModel, PhasesFollowTheConfiguration) {
  Record r{};
  r.ac.channel_count = 1;
  r.acChannel[0].a = 0.0f;
  r.acChannel[0].b = 231.0f;
  r.acChannel[0].c = 229.0f;
  DeviceLayout single;
  single.phase[1] = single.phase[2] = false;
  const auto p = read(r, single);
  ASSERT_EQ(p.ac.lines.size(), 1u);
  EXPECT_EQ(p.ac.lines[0].phase[0], 0.0f);
  EXPECT_FALSE(p.ac.lines[0].phase[1]);
  EXPECT_FALSE(p.ac.lines[0].phase[2]);

  DeviceLayout no_ac;
  no_ac.has_ac = false;
  EXPECT_TRUE(read(r, no_ac).ac.lines.empty());
}

TEST(SiteModel, PanelsArePresentOnlyWhenPolledAndSeen) {
  Record r{};
  r.dc.voltage = 48.0f;
  r.dc.current = 10.0f;
  EXPECT_FALSE(read(r, {}).dc[0].present) << "DC not configured";

  auto one = read(r, with_dc());
  EXPECT_TRUE(one.dc[0].present);
  EXPECT_FALSE(one.dc[1].present) << "a second panel never decoded stays all zero";
  EXPECT_FLOAT_EQ(*one.dc_power, 480.0f);

  r.dc_2.alert_m_count = 2;  // a panel with only fuses reported is there
  r.dc_2.voltage = 47.5f;
  r.dc_2.current = kInvalidValue;
  auto two = read(r, with_dc());
  EXPECT_TRUE(two.dc[1].present);
  EXPECT_FALSE(two.dc[1].power) << "no power without a current";
  EXPECT_FLOAT_EQ(*two.dc_current, 10.0f) << "an absent current is left out, not added as -0.1";
}

TEST(SiteModel, ModulesFollowTheCountWithTheirState) {
  Record r{};
  r.rc_channel_count = 3;
  r.rcChannel[0].current = 10.0f;
  r.rcChannel[1].current = 0.0f;
  r.rcChannel[1].status[0] = 1;  // switched off
  r.rcChannel[2].current = kInvalidValue;
  r.rcChannel[2].alarm = 1;        // failed
  r.rcChannel[3].current = 99.0f;  // beyond the count: not a module
  const auto p = read(r, {});
  ASSERT_EQ(p.shelf.modules.size(), 3u);
  EXPECT_EQ(p.shelf.modules[0].state, ModuleState::running);
  EXPECT_EQ(p.shelf.modules[1].state, ModuleState::off);
  EXPECT_EQ(p.shelf.modules[2].state, ModuleState::failed);
  EXPECT_FLOAT_EQ(*p.shelf.total_current, 10.0f);

  r.rc_channel_count = 200;
  EXPECT_EQ(read(r, {}).shelf.modules.size(), size_t(RC_CHANNEL_MAX));
}

TEST(SiteModel, LayoutReadsOptionsAsThePlugInDoes) {
  struct Case {
    const char* settings;
    bool ac, dc, b;
  } cases[] = {{"{}", true, false, true},
               {R"({"appSetting":{"has_dc":"1","has_b":"0"}})", true, true, false},
               {R"({"appSetting":{"has_ac":0,"has_dc":1}})", false, true, true},
               {R"({"appSetting":{"has_dc":"yes"}})", true, false, true}};
  for (const Case& c : cases) {
    Json::Value v;
    ASSERT_TRUE(Json::Reader().parse(c.settings, v)) << c.settings;
    const DeviceLayout l = klx::layout_of_settings(v);
    EXPECT_EQ(l.has_ac, c.ac) << c.settings;
    EXPECT_EQ(l.has_dc, c.dc) << c.settings;
    EXPECT_EQ(l.phase[1], c.b) << c.settings;
  }
}

TEST(SiteModel, UpNeedsAFreshRoundAnOpenLineAndNoCommunicationAlarm) {
  klx::DeviceModel d;
  EXPECT_FALSE(klx::device_up(d, 1000)) << "no round yet";
  d.fresh.last_round = 1000;
  EXPECT_TRUE(klx::device_up(d, 1000 + klx::kNoRoundTimeout));
  EXPECT_FALSE(klx::device_up(d, 1001 + klx::kNoRoundTimeout)) << "silent device";
  d.alarms.push_back({"120600180010", "120600180010", 1, "", "", 990});
  EXPECT_FALSE(klx::device_up(d, 1000));
  d.alarms.clear();
  d.fresh.line_up = false;
  EXPECT_FALSE(klx::device_up(d, 1000));
}

}  // namespace
