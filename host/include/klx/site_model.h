#pragma once

// This host's own runtime: one typed picture of a site, built once per completed round on the
// poll thread. Every export (MQTT, HTTP, SNMP, the history's aggregates, the summary lines) reads
// it; none of them reads the record by offset or by key. Absent values and absent hardware are
// decided here and nowhere else.

#include <json/value.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "klx/frame.h"
#include "klx/link.h"
#include "klx/pmbus_protocol.h"

namespace klx {

// A measured value, or nothing when the plant did not report it (the invalid marker, a value
// whose bytes are all equal, a value that is not finite) or the hardware is not there.
using Reading = std::optional<float>;

// What the device's configuration says is built. The record stores an absent AC line value as 0.0
// (the plug-in's contract), so only the configuration can tell a missing phase from a dead one.
struct DeviceLayout {
  bool has_ac = true;
  bool has_dc = false;
  bool phase[3] = {true, true, true};  // A, B, C
};

// The layout a device's settings describe: the "appSetting" options "has_ac", "has_dc", "has_a",
// "has_b", "has_c", read as the plug-in reads them (text through atoi; absent keys keep the
// plug-in's defaults).
DeviceLayout layout_of_settings(const Json::Value& settings);

struct AcLine {
  unsigned number = 0;  // 1-based
  Reading phase[3];     // A, B, C; absent when the phase is not configured
  Reading frequency;
  uint8_t phase_alarm[3] = {};
  uint8_t frequency_alarm = 0;
  // The counts of the line's user-defined values and alarms the plant reports (the record keeps
  // the counts, not the values).
  uint8_t custom_value_count = 0;
  uint8_t custom_alarm_count = 0;
};

struct AcSection {
  bool present = false;                           // configured, and the record holds a round
  bool phase_configured[3] = {true, true, true};  // A, B, C as the layout says
  std::vector<AcLine> lines;                      // the lines the plant reports, at most 2
  Reading trailing[3];                            // the three values after the line blocks
  std::vector<uint8_t> switches;                  // one state byte per input switch (airlock)
  uint8_t alarm[3] = {};                          // the three trailing alarm bytes
  uint8_t custom_count = 0;  // user-defined values the plant reports (count only)
};

enum class ModuleState { running, off, failed };
const char* module_state_name(ModuleState s);  // "running", "off", "failed"

struct Module {
  unsigned number = 0;  // 1-based
  Reading current;      // a failed or switched-off module delivers nothing: 0 A as reported
  std::array<uint8_t, 3> status{};  // on/off, current limit, charge mode, as the shelf says
  uint8_t alarm = 0;                // the module's alarm byte
  ModuleState state = ModuleState::running;  // failed: alarm byte set; off: status[0] set
  std::array<uint8_t, 3> custom_counts{};    // user-defined values, states, alarms (counts only)
};

struct Shelf {
  Reading voltage;
  std::vector<Module> modules;  // exactly the count the shelf reports (at most 40)
  Reading total_current;  // the modules' present currents added, to 6 digits; absent with none
};

struct DcPanel {
  unsigned number = 0;  // 1 or 2
  bool present = false;
  Reading voltage;
  Reading current;
  Reading power;  // voltage times current, in W, when both are present
  uint8_t alarm = 0;
  uint8_t fuse_count = 0;  // load fuses the panel reports (their states are not in the record)
  uint8_t extra_alarm_count = 0;
  std::array<uint8_t, 3> measurement_counts{};  // the panel's further measurements (counts only)
};

// The measured part of one record: what the plant said in one round.
struct PlantReading {
  bool valid = false;  // false: no record (none published yet, or one of another size)
  uint32_t data_id = 0;
  std::string update_time;  // "YYYY-MM-DD HH:MM:SS", local time of the polling host
  AcSection ac;
  Shelf shelf;
  std::array<DcPanel, 2> dc;
  Reading dc_current;  // the present panels' load current together
  Reading dc_power;    // and their power
};

// The one place where a record becomes values: absent markers, the module count's bound and the
// second panel are decided here. A record of another size gives a reading with valid false.
PlantReading read_plant(const uint8_t* record, size_t size, const DeviceLayout& layout);
inline PlantReading read_plant(const std::vector<uint8_t>& record, const DeviceLayout& layout) {
  return read_plant(record.data(), record.size(), layout);
}

struct ActiveAlarm {
  std::string key;
  std::string alarm_id;
  int level = 0;
  std::string text1;  // the value or condition text
  std::string text2;  // the alarm's name, the plug-in's own text
  std::time_t since = 0;
};

struct LineCounters {
  ProtocolCounters protocol;
  FrameCounters frames;
  LinkCounters link;
};

// How current the device's picture is.
struct Freshness {
  unsigned rounds = 0;
  std::time_t last_round = 0;  // wall clock of the last completed round; 0: none yet
  bool line_up = true;
  std::string line_error;  // why the line is down
};

struct DeviceModel {
  uint32_t data_id = 0;
  std::string port;  // as the transport describes it
  DeviceLayout layout;
  PlantReading plant;
  std::vector<ActiveAlarm> alarms;  // ordered by key
  Freshness fresh;
  LineCounters counters;
};

// Without a completed round for this long a device is down, whatever its alarms say: three
// missed rounds or 60 s, whichever is longer.
constexpr std::time_t kNoRoundTimeout = 60;

// Up: a round within the time-out, the line open and no communication alarm active.
bool device_up(const DeviceModel& d, std::time_t now,
               std::time_t no_round_timeout = kNoRoundTimeout);

// One line of the values a person looks at first, as the runner logs a round and klx-history
// lists it: "AC1 230.1/229.4/231.2 V 50 Hz; rectifiers 6 at 53.5 V 60.9 A; DC 53.5 V 58.9 A".
// Only configured phases are shown; an absent value is "-"; "AC -" and "DC -" when not there.
std::string plant_summary(const PlantReading& p);
// A value as people read it: the shortest text that reads back as the same float; "-" absent.
std::string reading_text(const Reading& r);

// Seconds since the last round; -1 before the first.
double age_seconds(const DeviceModel& d, std::time_t now);

// The alarm the plug-in states for a device that has not completed a round in 120 s.
constexpr const char* kCommAlarmId = "120600180010";
bool is_comm_alarm(const std::string& key_or_id);

}  // namespace klx
