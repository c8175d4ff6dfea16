#include "support/device_probe.h"

#include <json/reader.h>

#include <algorithm>
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
  // A fresh buffer of exactly the answer's size (a reused one keeps spare capacity), so that the
  // sanitizer catches any read beyond the info.
  std::vector<uint8_t> frame(6 + info.size());
  frame[0] = protocol_ver_;
  frame[1] = address_;
  frame[2] = cid1;
  frame[3] = 0;
  frame[4] = static_cast<uint8_t>(lenid & 0xFF);
  frame[5] = static_cast<uint8_t>(lenid >> 8);
  std::copy(info.begin(), info.end(), frame.begin() + 6);
  rx.swap(frame);
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
