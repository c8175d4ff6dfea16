#pragma once

// A record as the plug-in publishes it, built from a few plant values: for tests of what the
// host keeps and shows over time.
#include <cstdint>
#include <vector>

struct PlantValues {
  float phase[3] = {230.0f, 229.0f, 231.0f};  // mains line 1; 0 V: the mains is off
  float frequency = 50.0f;
  float rc_voltage = 53.5f;
  std::vector<float> modules = std::vector<float>(6, 10.0f);  // -0.1: absent (invalid marker)
  float dc_voltage = 53.5f;
  float dc_current = 58.0f;
};

std::vector<uint8_t> plant_record(const PlantValues& v, uint32_t data_id = 7);
