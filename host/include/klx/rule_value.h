#pragma once

// Mirrors the closed host's interface (one alarm rule as the host keeps it). The plug-in is built
// against it: names, types, layouts and the order of virtual operations stay as they are.

#include <string>

// One alarm rule of a round, as the host keeps it in a device's rule list.
// Field kinds and order are part of the host ABI: 4 bytes, two strings, 8 bytes, two strings, 4 bytes.
struct rule_value {
  int level = 0;          // alarm level; 0 never reaches the list
  std::string key;        // identifier the host keeps the alarm state under
  std::string alarm_id;   // identifier reported with the alarm
  double value = 0.0;     // 1.0 when the condition holds, 0.0 when it does not
  std::string text1;      // measured values or a fixed text
  std::string text2;      // the alarm's name
  int count = 1;          // rounds the condition must hold (100 for the input-power interruption)
};
