#include "support/device_probe.h"

#include <json/reader.h>

#include <cstring>
#include <stdexcept>

TestDevice::TestDevice(uint32_t data_id) {
  data_id_ = data_id;
  set_events(&rec);
}

TestDevice::~TestDevice() { set_events(nullptr); }

int TestDevice::configure(const std::string& settings_json) {
  return InitSetting(parse_json(settings_json));
}

int TestDevice::answer(const std::vector<uint8_t>& info, uint8_t cid1) {
  const size_t lenid = info.size() * 2;
  rx.assign(6, 0);
  rx[0] = protocol_ver_;
  rx[1] = address_;
  rx[2] = cid1;
  rx[3] = 0;
  rx[4] = static_cast<uint8_t>(lenid & 0xFF);
  rx[5] = static_cast<uint8_t>(lenid >> 8);
  rx.insert(rx.end(), info.begin(), info.end());
  rx_buf_ = rx.data();
  return process_payload();
}

std::vector<uint8_t> TestDevice::record() const {
  const auto* p = reinterpret_cast<const uint8_t*>(&data_);
  return std::vector<uint8_t>(p, p + sizeof(data_));
}

Json::Value parse_json(const std::string& text) {
  Json::Value v;
  Json::Reader reader;
  if (!reader.parse(text, v)) throw std::invalid_argument("bad JSON in test: " + text);
  return v;
}
