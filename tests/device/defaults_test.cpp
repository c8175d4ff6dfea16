// A device fresh from the provider, before any configuration or polling.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device/korvantis_419.h"
#include "plugin/korvantis_419_provider.h"
#include "support/recorder.h"

namespace {

TEST(Defaults, FreshDeviceHoldsZeroRecordAndConstructorSettings) {
  korvantis_419Provider provider;
  std::unique_ptr<KLXSPDevice> base(provider.create());
  auto* dev = dynamic_cast<korvantis_419*>(base.get());
  ASSERT_NE(dev, nullptr);

  EXPECT_EQ(dev->DeviceType(), "korvantis_419");
  const auto* bytes = reinterpret_cast<const unsigned char*>(&dev->data_);
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 587), std::vector<unsigned char>(587, 0));

  EXPECT_EQ(dev->b_mode_, 1);
  EXPECT_EQ(dev->ctrl_result_, -1);
  EXPECT_EQ(dev->cmd_arg_, 1);
  EXPECT_EQ(dev->rc_data_flag_, 0);
  EXPECT_TRUE(dev->has_ac_);
  EXPECT_FALSE(dev->has_dc_);
  EXPECT_EQ(dev->no_dc_number_, -1);
  EXPECT_TRUE(dev->has_a_ && dev->has_b_ && dev->has_c_);
  EXPECT_EQ(dev->dc_i_adjust_, 1);
  EXPECT_EQ(dev->ac_line_, 1);
  EXPECT_EQ(dev->ac_type_, 0);
  EXPECT_EQ(dev->skip_41_41_, 0);
  EXPECT_FALSE(dev->has_tower_);
  EXPECT_EQ(dev->no_40_arg_, 0);
  EXPECT_EQ(dev->no_42_arg_, 0);
  EXPECT_EQ(dev->dc_number_, 0u);

  EXPECT_EQ(dev->baud_rate_, 9600);
  EXPECT_EQ(dev->protocol_ver_, 0x20);
  EXPECT_EQ(dev->sp_flag_, 1);
  EXPECT_NE(dev->data_valid_, 1);
  EXPECT_TRUE(dev->rules_.empty());
}

TEST(Defaults, InlineHostOperations) {
  korvantis_419 dev;
  dev.data_id_ = 42;
  dev.use_controller_db_ = true;
  VDeviceInterface& v = dev;
  EXPECT_EQ(v.DataId(), 42u);
  EXPECT_TRUE(v.UseControllerDb());
  EXPECT_EQ(dev.GetChildVDevice(0), nullptr);
  EXPECT_EQ(dev.GetChildVDevice(12345), nullptr);
  EXPECT_TRUE(dev.GetAllChildVDevices().empty());

  // The string form of the cache restore is the byte form with the string's data and length.
  Recorder rec;
  dev.set_events(&rec);
  EXPECT_FALSE(v.LoadFromCache(std::string(586, '\0')));
  EXPECT_FALSE(v.LoadFromCache(std::string(588, '\0')));
  EXPECT_TRUE(rec.published.empty());
  dev.set_events(nullptr);
}

TEST(Defaults, HostBaseRefusesEveryValue) {
  struct Bare : korvantis_419 {
    float host_value(const std::string& name) const { return KLXVDevice::Get_Value(1, name); }
  } dev;
  try {
    dev.host_value("out_v");
    FAIL() << "no refusal";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "数据未就绪");
  }
}

TEST(Defaults, DestroyingAnUnconfiguredDeviceTouchesNoPort) {
  struct Sink : klx::DeviceEvents {
    int opened = 0;
    void on_open_port(KLXVDevice&) override { ++opened; }
  } sink;
  {
    korvantis_419 dev;
    dev.set_events(&sink);
  }
  EXPECT_EQ(sink.opened, 0);
}

}  // namespace
