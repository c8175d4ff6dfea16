#include "klx/vdevice.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include "klx/events.h"

VDeviceInterface::~VDeviceInterface() = default;

// The last round is placed two seconds in the past, so the first poll tick may start a round at
// once while the communication alarm still waits its full time from start-up.
KLXVDevice::KLXVDevice()
    : last_round_time_(boost::posix_time::second_clock::local_time() -
                       boost::posix_time::seconds(2)) {}

KLXVDevice::~KLXVDevice() = default;

// The stand-in serves no control code of its own: the output and the written count stay as
// the device left them. The request is shown to the event sink, whose answer is the result.
int KLXVDevice::DeviceIoControl(int code, const void*, int in_len, void*, int out_cap, int&) {
  return events_ ? events_->on_ioctl(*this, code, in_len, out_cap) : 0;
}

int KLXVDevice::InitV(KLXVDevice*, unsigned int data_id, const Json::Value&) {
  data_id_ = data_id;
  return 1;
}

bool KLXVDevice::IsSupportDevice(const std::string& type) const { return type == device_type_; }

int KLXVDevice::SendSP(int sp_id, const unsigned char* data, unsigned int length, bool) {
  if (events_) events_->on_publish(*this, sp_id, data, length);
  return 1;
}

int KLXVDevice::SendDelayData(int) { return 0; }
int KLXVDevice::SendDoData(int, char) { return 0; }
int KLXVDevice::ReadDi(int) { return 0; }
float KLXVDevice::ReadAi(int) { return 0.0f; }
float KLXVDevice::Get_SP_Value(unsigned int data_id, const std::string& name) {
  return Get_Value(data_id, name);
}

void KLXVDevice::CheckThreshold(const std::string& id, const std::string& name, const float& value,
                                int count) {
  if (events_) events_->on_check(*this, id, name, value, count);
}

void KLXVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& alarm_id,
                                    const std::string& text1, const std::string& text2, bool active,
                                    unsigned short count) {
  rules_.push_back(rule_value{level, key, alarm_id, active ? 1.0 : 0.0, text1, text2, count});
}

// The list is the plug-in's: whatever the host keeps of it, it copies.
bool KLXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  return events_ ? events_->on_batch(*this, rules) : true;
}

void KLXVDevice::CheckAOReport(const std::string& id, float value) {
  if (events_) events_->on_report(*this, id, value);
}

int KLXVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
  if (events_) events_->on_history(*this, data, length);
  return 1;
}
