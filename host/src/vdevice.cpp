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

namespace {

// Buffers of rule texts too long to be held in a string itself (the alarm names). Every plug-in
// clears its list right after handing it over, which would free them and make the next round
// allocate them again; so a batch gives them back here and the next rules take them. In the
// steady state a rule allocates nothing. One pool per thread, as rules are made on the thread
// that polls the device; bounded in count and in the size of a kept buffer.
using Spare = std::vector<std::string>;
constexpr size_t kMaxSpare = 1024;
constexpr size_t kMaxKeptCapacity = 256;
constexpr size_t kShortCapacity = 15;  // what a string holds in place

// Read for every rule: a plain pointer in the initial-exec model is one load. Null once the
// thread's pool is gone (a device handing over rules while its thread exits copies plainly).
thread_local Spare* spare_texts __attribute__((tls_model("initial-exec"))) = nullptr;

struct SpareOwner {
  Spare texts;
  SpareOwner() { spare_texts = &texts; }
  ~SpareOwner() { spare_texts = nullptr; }
};

Spare* spare() {
  if (!spare_texts) thread_local SpareOwner owner;
  return spare_texts;
}

// `to` is a new, empty text. A kept buffer is moved in without copying.
inline void copy_text(std::string& to, const std::string& text, Spare& spare) {
  if (text.size() > kShortCapacity && !spare.empty()) {
    to = std::move(spare.back());
    spare.pop_back();
  }
  to = text;
}

inline void keep(std::string& text, Spare& spare) {
  const size_t capacity = text.capacity();
  if (capacity > kShortCapacity && capacity <= kMaxKeptCapacity && spare.size() < kMaxSpare)
    spare.push_back(std::move(text));
}

// Inlined into both callers: made out of line, the call and its spills cost a tenth of a rule.
inline __attribute__((always_inline)) void fill(rule_value& rule, const std::string& key,
                                                const std::string& alarm_id,
                                                const std::string& text1,
                                                const std::string& text2) {
  if (Spare* pool = spare()) {
    copy_text(rule.key, key, *pool);
    copy_text(rule.alarm_id, alarm_id, *pool);
    copy_text(rule.text1, text1, *pool);
    copy_text(rule.text2, text2, *pool);
    return;
  }
  rule.key = key;
  rule.alarm_id = alarm_id;
  rule.text1 = text1;
  rule.text2 = text2;
}

}  // namespace

void KLXVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& alarm_id,
                                    const std::string& text1, const std::string& text2, bool active,
                                    unsigned short count) {
  // Made in place while the list has room (no copy to move in); otherwise made aside, as a text
  // passed from the list itself would not survive the list's growth.
  if (rules_.size() < rules_.capacity()) {
    rule_value& rule = rules_.emplace_back();
    try {
      fill(rule, key, alarm_id, text1, text2);
    } catch (...) {
      rules_.pop_back();  // a rule is listed whole or not at all
      throw;
    }
    rule.level = level;
    rule.value = active ? 1.0 : 0.0;
    rule.count = count;
    return;
  }
  rule_value rule;
  rule.level = level;
  fill(rule, key, alarm_id, text1, text2);
  rule.value = active ? 1.0 : 0.0;
  rule.count = count;
  rules_.push_back(std::move(rule));
}

// The device's own list is cleared by the plug-in right after the hand-over: once evaluated,
// the buffers of its long texts go back to the pool (its rules stay, with those texts empty).
// Any other list is only read.
bool KLXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  const bool result = events_ ? events_->on_batch(*this, rules) : true;
  if (&rules != &rules_) return result;
  if (Spare* pool = spare()) {
    for (rule_value& rule : rules_) {
      keep(rule.key, *pool);
      keep(rule.alarm_id, *pool);
      keep(rule.text1, *pool);
      keep(rule.text2, *pool);
    }
  }
  return result;
}

void KLXVDevice::CheckAOReport(const std::string& id, float value) {
  if (events_) events_->on_report(*this, id, value);
}

int KLXVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
  if (events_) events_->on_history(*this, data, length);
  return 1;
}
