#pragma once

// The SNMP view of the site model: every served object instance with its value, sorted by OID,
// rebuilt from the models after each round or alarm change. GET and GETNEXT read it and nothing
// else, so the tables can be checked without net-snmp or a socket.

#include <cstdint>
#include <string>
#include <vector>

#include "klx/site_model.h"

namespace klxhost::snmp {

using Oid = std::vector<uint32_t>;

// The enterprise number of the private MIB: also in KLX-POWER-MIB's MODULE-IDENTITY. 32473 is
// the number reserved for documentation (RFC 5612); docs/snmp.md says how to substitute a
// registered one.
constexpr uint32_t kEnterprise = 32473;

Oid klx_mib();                        // 1.3.6.1.4.1.kEnterprise
extern const Oid kEntPhysicalEntry;   // 1.3.6.1.2.1.47.1.1.1.1
extern const Oid kEntPhySensorEntry;  // 1.3.6.1.2.1.99.1.1.1
extern const Oid kEntConfigChange;    // 1.3.6.1.2.1.47.2.0.1

enum class Kind : uint8_t { integer, gauge, counter, ticks, octets };

struct Value {
  Kind kind = Kind::integer;
  int64_t number = 0;
  std::string text;  // octets
};

struct Entry {
  Oid oid;
  Value value;
};

// Entity indices are fixed by position so a manager's history survives restarts: 1 the plant,
// 100·L an AC line and +1..+4 its phases and frequency, 1000 the shelf (+1 voltage, +2 total
// current), 1000+10·n module n (+1 its current), 2000+100·P DC panel P (+1 voltage, +2 current,
// +3 power). The k-th device (from 0) adds 10000·k.
constexpr uint32_t kDeviceStride = 10000;
uint32_t plant_index(size_t device);
uint32_t line_index(size_t device, unsigned line);
uint32_t module_index(size_t device, unsigned module);
uint32_t panel_index(size_t device, unsigned panel);

// ITU-ALARM-TC ItuPerceivedSeverity from an alarm level: 1 critical, 2 major, 3 minor,
// 4 warning, any other indeterminate.
enum class Severity { cleared = 1, indeterminate, critical, major, minor, warning };
Severity severity_of_level(int level);

// How a device's values stand: stale withdraws every measured value.
enum class PlantStatus { fresh = 1, stale = 2, no_round = 3 };

struct DeviceInput {
  const klx::DeviceModel* model = nullptr;
  PlantStatus status = PlantStatus::no_round;
  uint32_t round_ticks = 0;  // agent uptime (1/100 s) when the last round completed
  uint32_t update_ms = 0;    // time between the last two rounds
  std::time_t now = 0;       // wall clock, for the age of the last round
};

struct AgentCounters {
  uint32_t sequence = 0;  // the last notification's sequence number
  uint32_t dropped = 0;   // notifications lost while the master was away
};

class Snapshot {
 public:
  static Snapshot build(const std::vector<DeviceInput>& devices, const AgentCounters& counters);
  // The instance at exactly `oid`, or nullptr.
  const Entry* find(const Oid& oid) const;
  // The first instance after `oid` that lies under `within`, or nullptr at the subtree's end.
  const Entry* next(const Oid& oid, const Oid& within) const;
  const std::vector<Entry>& entries() const { return entries_; }
  // The entity indices served, for entConfigChange.
  const std::vector<uint32_t>& entities() const { return entities_; }

 private:
  std::vector<Entry> entries_;
  std::vector<uint32_t> entities_;
};

std::string oid_text(const Oid& oid);  // "1.3.6.1..."

// The private MIB's notifications and their objects, for the glue.
Oid notification_oid(unsigned n);    // klxAlarmRaised 1, klxAlarmCleared 2, klxPlantCommLost 3,
                                     // klxPlantCommRestored 4
Oid notify_object(unsigned column);  // klxNotifyObjects.column.0
Oid sequence_oid();                  // klxNotifySequence.0

}  // namespace klxhost::snmp
