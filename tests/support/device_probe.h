#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device/korvantis_419.h"
#include "support/recorder.h"

// A korvantis_419 wired to a recorder, with helpers to configure it and hand it answers the way
// the host's protocol layer does.
struct TestDevice : korvantis_419 {
  Recorder rec;
  std::vector<uint8_t> rx;

  explicit TestDevice(uint32_t data_id = 7);
  ~TestDevice() override;

  // InitSetting with the given settings text (JSON).
  int configure(const std::string& settings_json);
  // Lays an answer's info bytes into rx_buf_ as the host does and calls process_payload.
  int answer(const std::vector<uint8_t>& info, uint8_t cid1 = 0x40);
  // The record as raw bytes.
  std::vector<uint8_t> record() const;
};

Json::Value parse_json(const std::string& text);
