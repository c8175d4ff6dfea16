#include "oid_snapshot.h"

#include <algorithm>
#include <cmath>

namespace klxhost::snmp {
namespace {

// ENTITY-MIB PhysicalClass and ENTITY-SENSOR-MIB values.
enum Class { kOther = 1, kChassis = 3, kContainer = 5, kPowerSupply = 6, kSensor = 8 };
enum SensorType { kVoltsAc = 3, kVoltsDc = 4, kAmperes = 5, kWatts = 6, kHertz = 7 };
enum OperStatus { kOk = 1, kUnavailable = 2 };
constexpr int kScaleUnits = 9;
constexpr size_t kMaxText = 255;  // SnmpAdminString

// Private tables under klxObjects (klx_mib().1).
enum PrivateNode {
  kSequence = 1,
  kDropped = 2,
  kPlantTable = 3,
  kSwitchTable = 4,
  kAlarmByteTable = 5,
  kModuleTable = 6,
  kPanelTable = 7,
  kAlarmTable = 8,
  kNotifyObjects = 9,
};

Oid join(Oid base, std::initializer_list<uint32_t> tail) {
  base.insert(base.end(), tail);
  return base;
}

// Cut at a character boundary so a UTF-8 text stays valid.
std::string admin_string(const std::string& s) {
  if (s.size() <= kMaxText) return s;
  size_t n = kMaxText;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

struct Sensor {
  int type;
  const char* units;
  int precision;
};
constexpr Sensor kPhaseVolts{kVoltsAc, "V", 1};
constexpr Sensor kHz{kHertz, "Hz", 2};
constexpr Sensor kDcVolts{kVoltsDc, "V", 2};
constexpr Sensor kAmps{kAmperes, "A", 1};
constexpr Sensor kPower{kWatts, "W", 0};

class Builder {
 public:
  Builder(const DeviceInput& in, size_t device)
      : in_(in), m_(*in.model), device_(device), live_(in.status == PlantStatus::fresh) {}

  void device(std::vector<Entry>& out, std::vector<uint32_t>& entities) {
    out_ = &out;
    entities_ = &entities;
    const uint32_t plant = plant_index(device_);
    entity(plant, "48 V DC power system, data_id " + std::to_string(m_.data_id), 0, kChassis,
           "plant");
    plant_row(plant);
    alarms(plant);
    if (!m_.plant.valid) return;
    ac(plant);
    shelf(plant);
    for (const auto& p : m_.plant.dc)
      if (p.present) panel(plant, p);
  }

 private:
  void add(Oid oid, Kind kind, int64_t number, std::string text = {}) {
    out_->push_back({std::move(oid), Value{kind, number, std::move(text)}});
  }
  void add_private(uint32_t table, uint32_t column, std::initializer_list<uint32_t> index,
                   Kind kind, int64_t number, std::string text = {}) {
    Oid oid = join(klx_mib(), {1, table, 1, column});
    oid.insert(oid.end(), index);
    add(std::move(oid), kind, number, std::move(text));
  }

  void entity(uint32_t idx, const std::string& descr, uint32_t in, int cls,
              const std::string& name) {
    entities_->push_back(idx);
    const Oid& t = kEntPhysicalEntry;
    add(join(t, {2, idx}), Kind::octets, 0, admin_string(descr));
    add(join(t, {4, idx}), Kind::integer, in);
    add(join(t, {5, idx}), Kind::integer, cls);
    add(join(t, {7, idx}), Kind::octets, 0, admin_string(name));
  }

  // A sensor entity with its row; an absent (or withdrawn) value has no Value instance.
  void sensor(uint32_t idx, uint32_t in, const std::string& name, const Sensor& s, klx::Reading r) {
    entity(idx, name, in, kSensor, name);
    const Oid& t = kEntPhySensorEntry;
    std::optional<int64_t> scaled;
    if (live_ && r) {
      const double v = std::round(static_cast<double>(*r) * std::pow(10.0, s.precision));
      if (std::fabs(v) <= 1e9) scaled = static_cast<int64_t>(v);
    }
    add(join(t, {1, idx}), Kind::integer, s.type);
    add(join(t, {2, idx}), Kind::integer, kScaleUnits);
    add(join(t, {3, idx}), Kind::integer, s.precision);
    if (scaled) add(join(t, {4, idx}), Kind::integer, *scaled);
    add(join(t, {5, idx}), Kind::integer, scaled ? kOk : kUnavailable);
    add(join(t, {6, idx}), Kind::octets, 0, s.units);
    add(join(t, {7, idx}), Kind::ticks, scaled ? in_.round_ticks : 0);
    add(join(t, {8, idx}), Kind::gauge, in_.update_ms);
  }

  void alarm_byte(uint32_t idx, uint8_t b) {
    if (live_) add_private(kAlarmByteTable, 1, {idx}, Kind::gauge, b);
  }

  void plant_row(uint32_t plant) {
    add_private(kPlantTable, 1, {plant}, Kind::gauge, m_.data_id);
    add_private(kPlantTable, 2, {plant}, Kind::integer, static_cast<int>(in_.status));
    if (m_.fresh.last_round != 0)
      add_private(kPlantTable, 3, {plant}, Kind::gauge,
                  std::max<int64_t>(0, in_.now - m_.fresh.last_round));
    add_private(kPlantTable, 4, {plant}, Kind::counter, m_.fresh.rounds);
    add_private(kPlantTable, 5, {plant}, Kind::integer, m_.fresh.line_up ? 1 : 2);
    if (live_ && m_.plant.valid && m_.plant.ac.present)
      add_private(kPlantTable, 6, {plant}, Kind::octets, 0,
                  std::string(m_.plant.ac.alarm, m_.plant.ac.alarm + 3));
    add_private(kPlantTable, 7, {plant}, Kind::gauge, m_.alarms.size());
  }

  void alarms(uint32_t plant) {
    for (const auto& a : m_.alarms) {
      const std::string key = a.key.substr(0, 32);
      if (key.empty()) continue;
      Oid index{plant, static_cast<uint32_t>(key.size())};
      for (unsigned char c : key) index.push_back(c);
      auto col = [&](uint32_t c, Kind kind, int64_t n, std::string text = {}) {
        Oid oid = join(klx_mib(), {1, kAlarmTable, 1, c});
        oid.insert(oid.end(), index.begin(), index.end());
        add(std::move(oid), kind, n, std::move(text));
      };
      col(2, Kind::octets, 0, admin_string(a.alarm_id));
      col(3, Kind::integer, static_cast<int>(severity_of_level(a.level)));
      col(4, Kind::integer, a.level);
      col(5, Kind::octets, 0, admin_string(a.text1));
      col(6, Kind::octets, 0, admin_string(a.text2));
      col(7, Kind::gauge, std::max<std::time_t>(0, a.since));
    }
  }

  void ac(uint32_t plant) {
    const auto& ac = m_.plant.ac;
    if (!ac.present) return;
    for (const auto& l : ac.lines) {
      const uint32_t idx = line_index(device_, l.number);
      const std::string n = "AC line " + std::to_string(l.number);
      entity(idx, n, plant, kOther, n);
      static const char* kPhase[3] = {"A", "B", "C"};
      for (unsigned p = 0; p < 3; ++p) {
        if (!m_.layout.phase[p]) continue;
        sensor(idx + 1 + p, idx, n + " phase " + kPhase[p] + " voltage", kPhaseVolts, l.phase[p]);
        alarm_byte(idx + 1 + p, l.phase_alarm[p]);
      }
      sensor(idx + 4, idx, n + " frequency", kHz, l.frequency);
      alarm_byte(idx + 4, l.frequency_alarm);
    }
    if (!live_) return;
    for (size_t s = 0; s < ac.switches.size(); ++s)
      add_private(kSwitchTable, 2, {plant, static_cast<uint32_t>(s + 1)}, Kind::gauge,
                  ac.switches[s]);
  }

  void shelf(uint32_t plant) {
    const auto& sh = m_.plant.shelf;
    const uint32_t idx = module_index(device_, 0);
    entity(idx, "rectifier shelf", plant, kContainer, "shelf");
    sensor(idx + 1, idx, "shelf output voltage", kDcVolts, sh.voltage);
    sensor(idx + 2, idx, "shelf total current", kAmps, sh.total_current);
    for (const auto& m : sh.modules) {
      const uint32_t mi = module_index(device_, m.number);
      const std::string n = "rectifier module " + std::to_string(m.number);
      entity(mi, n, idx, kPowerSupply, n);
      sensor(mi + 1, mi, n + " current", kAmps, m.current);
      alarm_byte(mi, m.alarm);
      if (!live_) continue;
      add_private(kModuleTable, 1, {mi}, Kind::integer, static_cast<int>(m.state) + 1);
      for (unsigned c = 0; c < 3; ++c)
        add_private(kModuleTable, 2 + c, {mi}, Kind::gauge, m.status[c]);
    }
  }

  void panel(uint32_t plant, const klx::DcPanel& p) {
    const uint32_t idx = panel_index(device_, p.number);
    const std::string n = "DC panel " + std::to_string(p.number);
    entity(idx, n, plant, kOther, n);
    sensor(idx + 1, idx, n + " voltage", kDcVolts, p.voltage);
    sensor(idx + 2, idx, n + " load current", kAmps, p.current);
    sensor(idx + 3, idx, n + " power", kPower, p.power);
    alarm_byte(idx, p.alarm);
    if (!live_) return;
    add_private(kPanelTable, 1, {idx}, Kind::gauge, p.fuse_count);
    add_private(kPanelTable, 2, {idx}, Kind::gauge, p.extra_alarm_count);
  }

  const DeviceInput& in_;
  const klx::DeviceModel& m_;
  size_t device_;
  bool live_;
  std::vector<Entry>* out_ = nullptr;
  std::vector<uint32_t>* entities_ = nullptr;
};

}  // namespace

const Oid kEntPhysicalEntry{1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1};
const Oid kEntPhySensorEntry{1, 3, 6, 1, 2, 1, 99, 1, 1, 1};
const Oid kEntConfigChange{1, 3, 6, 1, 2, 1, 47, 2, 0, 1};

Oid klx_mib() { return {1, 3, 6, 1, 4, 1, kEnterprise}; }

uint32_t plant_index(size_t device) { return 1 + kDeviceStride * static_cast<uint32_t>(device); }
uint32_t line_index(size_t device, unsigned line) {
  return 100 * line + kDeviceStride * static_cast<uint32_t>(device);
}
uint32_t module_index(size_t device, unsigned module) {
  return 1000 + 10 * module + kDeviceStride * static_cast<uint32_t>(device);
}
uint32_t panel_index(size_t device, unsigned panel) {
  return 2000 + 100 * panel + kDeviceStride * static_cast<uint32_t>(device);
}

Severity severity_of_level(int level) {
  switch (level) {
    case 1:
      return Severity::critical;
    case 2:
      return Severity::major;
    case 3:
      return Severity::minor;
    case 4:
      return Severity::warning;
    default:
      return Severity::indeterminate;
  }
}

Snapshot Snapshot::build(const std::vector<DeviceInput>& devices, const AgentCounters& counters) {
  Snapshot s;
  s.entries_.reserve(256);
  const Oid objects = join(klx_mib(), {1});
  s.entries_.push_back({join(objects, {kSequence, 0}), {Kind::gauge, counters.sequence, {}}});
  s.entries_.push_back({join(objects, {kDropped, 0}), {Kind::counter, counters.dropped, {}}});
  for (size_t d = 0; d < devices.size(); ++d)
    if (devices[d].model) Builder(devices[d], d).device(s.entries_, s.entities_);
  std::sort(s.entries_.begin(), s.entries_.end(),
            [](const Entry& a, const Entry& b) { return a.oid < b.oid; });
  std::sort(s.entities_.begin(), s.entities_.end());
  return s;
}

const Entry* Snapshot::find(const Oid& oid) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), oid,
                             [](const Entry& e, const Oid& o) { return e.oid < o; });
  return it != entries_.end() && it->oid == oid ? &*it : nullptr;
}

const Entry* Snapshot::next(const Oid& oid, const Oid& within) const {
  auto it = std::upper_bound(entries_.begin(), entries_.end(), oid,
                             [](const Oid& o, const Entry& e) { return o < e.oid; });
  // Below the subtree: its first instance.
  if (oid < within)
    it = std::lower_bound(entries_.begin(), entries_.end(), within,
                          [](const Entry& e, const Oid& o) { return e.oid < o; });
  if (it == entries_.end()) return nullptr;
  if (!std::equal(within.begin(), within.end(), it->oid.begin(),
                  it->oid.begin() + std::min(within.size(), it->oid.size())) ||
      it->oid.size() < within.size())
    return nullptr;
  return &*it;
}

std::string oid_text(const Oid& oid) {
  std::string s;
  for (uint32_t n : oid) s += (s.empty() ? "" : ".") + std::to_string(n);
  return s;
}

Oid notification_oid(unsigned n) { return join(klx_mib(), {0, n}); }
Oid notify_object(unsigned column) { return join(klx_mib(), {1, kNotifyObjects, column, 0}); }
Oid sequence_oid() { return join(klx_mib(), {1, kSequence, 0}); }

}  // namespace klxhost::snmp
