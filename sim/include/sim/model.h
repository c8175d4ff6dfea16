#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/noise.h"

// The simulated power system: what each section would answer on the line, plus the few run-time
// flags (a failed mains line, a stopped module) that events and remote control change. The answer
// encoders read it; nothing in it knows about frames.
namespace sim {

using Bytes = std::vector<uint8_t>;

// One analog value as sent on the line: a float, or absent, which the power system sends as four
// equal non-zero bytes (20 20 20 20 by default).
struct WireValue {
  float value = 0.0f;
  uint8_t absent_byte = 0;  // non-zero: absent, sent as this byte four times

  static WireValue of(float v) { return WireValue{v, 0}; }
  static WireValue absent(uint8_t pattern = 0x20) { return WireValue{0.0f, pattern}; }
  bool is_absent() const { return absent_byte != 0; }
};

// One AC input line (three phases and a frequency).
struct AcLine {
  WireValue a, b, c, f;
  std::vector<WireValue> tower;     // the extra block of "has_tower" firmware (40/41)
  std::vector<WireValue> extra;     // user-defined values after the line (40/41)
  std::array<uint8_t, 4> alarms{};  // a, b, c, f alarm states (40/44)
  Bytes fuses;                      // state bytes after the four alarms (40/44)
  Bytes tower_alarms;               // the extra block of "has_tower" firmware (40/44)
  Bytes extra_alarms;               // user-defined alarm bytes (40/44)

  // Run time: a mains failure. The line then reads 0 V, 0 Hz, and its phase alarms read
  // `failure_alarm`.
  bool failed = false;
  uint8_t failure_alarm = 0x01;
};

struct AcSection {
  bool present = true;
  uint8_t data_flag = 0;  // bits always set in this section's data-flag byte
  std::vector<AcLine> lines;
  std::array<WireValue, 3> values{};  // the three values after the line blocks (40/41)
  Bytes switches;                     // switch states (40/43)
  Bytes tower_switches;               // the extra block of "has_tower" firmware (40/43)
  Bytes extra_switches;               // user-defined switch states (40/43)
  std::array<uint8_t, 3> alarms{};    // the three alarm bytes after the line blocks (40/44)

  // Run time: data-flag bits raised by a change and cleared when the host reads it.
  uint8_t pending_flags = 0;
};

// One rectifier module. status[0] is the run state: 0 running, 1 switched off.
struct Module {
  WireValue current;  // what the module delivers while it runs
  std::vector<WireValue> tower;
  std::vector<WireValue> extra;
  std::array<uint8_t, 3> status{};
  Bytes tower_states;
  Bytes extra_states;
  uint8_t alarm = 0;
  Bytes tower_alarms;
  Bytes extra_alarms;

  // Run time: a failed module delivers nothing and its alarm reads `failure_alarm` until the
  // failure ends.
  bool failed = false;
  uint8_t failure_alarm = 0x01;
};

struct RectifierSection {
  uint8_t data_flag = 0;
  WireValue voltage;
  std::vector<Module> modules;
  uint8_t pending_flags = 0;
};

// One DC distribution panel. m, n and p are the three value lists of the analog answer; fuses and
// extra_alarms the two lists of the alarm answer.
struct DcPanel {
  WireValue voltage;
  WireValue current;
  std::vector<WireValue> m, n, p;
  uint8_t alarm = 0;
  Bytes fuses;
  Bytes extra_alarms;
};

struct DcSection {
  bool present = true;
  uint8_t data_flag = 0;
  std::vector<DcPanel> panels;
  uint8_t pending_flags = 0;
};

// Firmware layout differences, named after the device options that describe them.
struct Quirks {
  bool has_tower = false;     // extra blocks in the AC and rectifier answers
  uint8_t skip_41_41 = 0;     // padding bytes after each module of the rectifier analog answer
  bool no_dc_number = false;  // DC answers without the panel-count byte (one panel only)
  bool no_40_arg = false;     // the AC analog command takes no data byte
  bool no_42_arg = false;     // the DC commands take no data byte
};

// A change scheduled on the simulator's time line (seconds from the first command).
struct Event {
  enum class Kind {
    MainsFailure,
    ModuleFail,
    ModuleStop,
    ModuleStart,
    DcRamp,
    ModuleCount,
    DcAlarm,
    Switch
  };
  Kind kind = Kind::MainsFailure;
  double at = 0.0;
  double duration = 0.0;  // 0: the change stays (a ramp: a step)
  int target = 1;         // line, module, panel or switch, counted from 1
  float to = 0.0f;        // DcRamp: the voltage reached
  int count = 0;          // ModuleCount: the new number of modules
  uint8_t alarm = 0x01;   // the alarm byte the event raises
  uint8_t state = 0x01;   // Switch: the switch state it sets
};

// A line fault applied to answers, scheduled and/or with a probability.
struct FaultRule {
  enum class Kind {
    NoAnswer,
    BadChecksum,
    BadLengthChecksum,
    Rtn,
    Garbage,
    GarbageInside,
    Truncated,
    Slow,
    Split,
    WrongAddress
  };
  Kind kind = Kind::NoAnswer;
  double from = 0.0;         // active from this time on (seconds from the first command)
  double to = -1.0;          // ... up to this time; negative: for ever
  double probability = 1.0;  // chance per matching answer
  int count = -1;            // applied at most this many times; negative: no limit
  int cid1 = -1;             // only answers to this group; negative: any
  int cid2 = -1;             // only answers to this command; negative: any
  uint8_t rtn = 0x06;        // Rtn
  Bytes garbage;             // Garbage, GarbageInside (default chosen by the injector)
  uint32_t delay_ms = 1500;  // Slow
  int chunks = 3;            // Split
  uint32_t pause_ms = 50;    // Split
  int address = -1;          // WrongAddress; negative: the simulator's address + 1
  int keep = -1;             // Truncated: characters kept; negative: half the frame
};

// What the device says of itself (0x51): texts as UTF-8 here, sent in GB18030 (ASCII stays
// ASCII), padded with spaces to their fields of 10 and 20 bytes.
struct Identity {
  std::string device_name = "SIM-48V";
  uint8_t software_major = 1;
  uint8_t software_minor = 0;
  std::string maker = "klx-sim";
};

struct Model {
  uint8_t version = 0x20;
  Identity identity;
  uint32_t seed = 1;
  Quirks quirks;
  AcSection ac;
  RectifierSection rectifiers;
  DcSection dc;
  std::vector<Event> events;
  std::vector<FaultRule> faults;
  NoiseSettings noise;

  // Run time: what control commands have set.
  std::map<uint8_t, float> parameters;  // DC parameters by code (0x48/0x49)
  std::array<uint8_t, 7> clock{};       // last clock-setting command (0x4E)
  bool clock_set = false;
};

// 2 AC lines, 6 modules, 1 DC panel: a healthy 48 V system.
Model default_model();
// Throws std::runtime_error naming the file and the offending key.
Model load_model_file(const std::string& path);
Model parse_model(const std::string& json_text, const std::string& origin);

// A device on a line and its model.
struct LineDevice {
  uint8_t address = 1;
  Model model;
};
// A model file describes one device (served at `address`) or lists the devices of a line:
// {"devices": [{"address": 1, "model": "a.json"}, {"address": 2, "model": {...}}, {"address": 3}]}
// (a model named by its file, relative to the listing's folder, given in place, or the built-in
// one). Throws std::runtime_error naming the file and the offending key.
std::vector<LineDevice> load_line_file(const std::string& path, uint8_t address);
std::vector<LineDevice> parse_line(const std::string& json_text, const std::string& origin,
                                   uint8_t address, const std::string& folder);

}  // namespace sim
