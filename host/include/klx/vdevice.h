#pragma once

// Mirrors the closed host's interface (the device base class the plug-in derives from, KLXVDevice).
// The plug-in is built against it: names, types, layouts and the order of virtual operations stay
// as they are.

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "klx/api.h"
#include "klx/rule_value.h"

class KLXController;
class KLXVDevice;
namespace klx {
class DeviceEvents;
}

// The root interface every device object of the host implements. The order of the virtual
// operations here and in the classes below is the host's ABI: a plug-in compiled against these
// declarations fills the host's virtual tables slot by slot.
class KLX_API VDeviceInterface {
 public:
  virtual float Get_Value(unsigned int data_id, const std::string& name) const = 0;  // slot 1
  virtual bool LoadFromCache(const std::string& blob) = 0;                           // slot 2
  virtual bool LoadFromCache(const unsigned char* bytes, int length) = 0;            // slot 3
  virtual unsigned int DataId() const = 0;                                           // slot 4
  virtual const std::string& DeviceType() const = 0;                                 // slot 5
  virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap,
                              int& written) = 0;                                     // slot 6
  virtual void RoundDone() = 0;                                                      // slot 7
  virtual bool UseControllerDb() = 0;                                                // slot 8
  virtual ~VDeviceInterface();                                                       // slots 9, 10
};

// A virtual device: identity, data store and alarm interface of the host.
class KLX_API KLXVDevice : public VDeviceInterface {
 public:
  // Analog-report setting of one signal. A new entry is zero in every field.
  struct BAOSetting {
    bool abs_enabled = false;
    float abs_delta = 0.0f;
    bool pct_enabled = false;
    float pct_delta = 0.0f;
    bool period_enabled = false;
    float period_minutes = 0.0f;
    uint32_t last_time = 0;
    float last_value = 0.0f;
  };

  KLXVDevice();
  KLXVDevice(const KLXVDevice&) = delete;
  KLXVDevice& operator=(const KLXVDevice&) = delete;

  float Get_Value(unsigned int, const std::string&) const override {
    throw std::out_of_range("数据未就绪");
  }
  bool LoadFromCache(const std::string& blob) override {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(blob.data()),
                         static_cast<int>(blob.size()));
  }
  // Redeclared so that the overload above can call it from this scope.
  bool LoadFromCache(const unsigned char* bytes, int length) override = 0;
  unsigned int DataId() const override { return data_id_; }
  const std::string& DeviceType() const override { return device_type_; }
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_cap,
                      int& written) override;
  bool UseControllerDb() override { return use_controller_db_; }
  ~KLXVDevice() override;

  virtual int Reset() = 0;                                                           // slot 11
  virtual int InitV(KLXVDevice* parent, unsigned int data_id, const Json::Value& cfg);  // slot 12
  virtual int Init(std::weak_ptr<KLXController> controller, unsigned int data_id,
                   const Json::Value& cfg) = 0;                                      // slot 13
  virtual int InitSetting(const Json::Value& settings) = 0;                          // slot 14
  virtual bool IsSupportDevice(const std::string& type) const;                       // slot 15
  virtual std::shared_ptr<KLXVDevice> GetChildVDevice(unsigned int) {                // slot 16
    return std::shared_ptr<KLXVDevice>();
  }
  virtual std::vector<std::shared_ptr<KLXVDevice>> GetAllChildVDevices() {           // slot 17
    return std::vector<std::shared_ptr<KLXVDevice>>();
  }
  virtual int SendSP(int sp_id, const unsigned char* data, unsigned int length,
                     bool immediate);                                                // slot 18
  virtual int SendDelayData(int delay_ms);                                           // slot 19
  virtual int SendDoData(int channel, char value);                                   // slot 20
  virtual int ReadDi(int channel);                                                   // slot 21
  virtual float ReadAi(int channel);                                                 // slot 22
  virtual float Get_SP_Value(unsigned int data_id, const std::string& name);         // slot 23

  // Alarm and history services (not virtual).
  void CheckThreshold(const std::string& id, const std::string& name, const float& value,
                      int count);
  void CheckThresholdBool(int level, const std::string& key, const std::string& alarm_id,
                          const std::string& text1, const std::string& text2, bool active,
                          unsigned short count);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  void CheckAOReport(const std::string& id, float value);
  int SaveDeviceHistory(const unsigned char* data, unsigned int length);

  // Host side: where this device's publications, checks, reports and commands go.
  void set_events(klx::DeviceEvents* events) { events_ = events; }
  klx::DeviceEvents* events() const { return events_; }

  // State the plug-in reads and writes directly.
  uint32_t data_id_ = 0;
  std::string device_type_;
  bool use_controller_db_ = false;
  std::map<std::string, BAOSetting> ao_settings_;
  uint16_t round_flag_ = 0;
  boost::posix_time::ptime last_round_time_;
  uint8_t data_valid_ = 0;
  std::vector<rule_value> rules_;
  bool batch_result_ = false;
  std::map<std::string, int> alarm_levels_;
  std::map<std::string, float> thresholds_;

 private:
  klx::DeviceEvents* events_ = nullptr;
};
