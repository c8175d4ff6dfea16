#pragma once

#include <json/value.h>

#include <string>

// A generic data device: owns one data record of type Data, ends polling rounds by publishing it
// under SpId, restores it from the host's cache and reads the per-signal threshold settings.
template <class Data, class Protocol, int SpId>
class UniDataDevice : public Protocol {
 public:
  using Protocol::LoadFromCache;

  UniDataDevice() : data_(), b_mode_(1) {}
  ~UniDataDevice() override {}

  bool LoadFromCache(const unsigned char* bytes, int length) override;
  void RoundDone() override;
  int InitSetting(const Json::Value& settings) override;
  virtual void RunCheckThreshold() {}

  int CheckAOReport(const std::string& setting_key, const std::string& report_id, float value);

  Data data_;
  int32_t b_mode_;

 protected:
  void stamp_data_id() { data_.data_id = this->DataId(); }
  void read_threshold_settings(const Json::Value& settings);
};
