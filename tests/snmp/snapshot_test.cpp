// The OID view of a site model without net-snmp: entity indices by shape, absent and stale
// values, GETNEXT order across holes and table ends, severities, the "snmp" settings.

#include <gtest/gtest.h>

#include <algorithm>

#include "config.h"
#include "oid_snapshot.h"

namespace klxhost::snmp {
namespace {

Oid col(const Oid& entry, uint32_t column, uint32_t index) {
  Oid o = entry;
  o.push_back(column);
  o.push_back(index);
  return o;
}
Oid sensor(uint32_t column, uint32_t index) { return col(kEntPhySensorEntry, column, index); }

klx::DeviceModel plant(unsigned lines, unsigned modules) {
  klx::DeviceModel m;
  m.data_id = 7;
  m.layout.has_dc = true;
  m.layout.phase[2] = false;
  m.fresh.rounds = 3;
  m.fresh.last_round = 1000;
  auto& p = m.plant;
  p.valid = true;
  p.ac.present = true;
  for (unsigned l = 1; l <= lines; ++l) {
    klx::AcLine line;
    line.number = l;
    line.phase[0] = 230.1f, line.phase[1] = 229.4f;  // phase C absent
    line.frequency = 50.0f;
    line.phase_alarm[1] = 0x02;
    p.ac.lines.push_back(line);
  }
  p.ac.switches = {0, 1};
  p.shelf.voltage = 53.5f;
  for (unsigned n = 1; n <= modules; ++n) {
    klx::Module mod;
    mod.number = n;
    mod.current = 10.0f;
    p.shelf.modules.push_back(mod);
  }
  p.shelf.total_current = modules ? klx::Reading(10.0f * modules) : klx::Reading();
  p.dc[0].number = 1, p.dc[0].present = true, p.dc[0].voltage = 53.5f;
  p.dc[1].number = 2;
  m.alarms.push_back({"419610401001", "419610401001", 2, "187.0", "mains low", 900});
  return m;
}

Snapshot view(const klx::DeviceModel& m, PlantStatus status = PlantStatus::fresh) {
  return Snapshot::build({{&m, status, 4200, 2000, 1010}}, {5, 1});
}

TEST(SnmpSnapshot, EntityIndicesFollowThePlantsShape) {
  struct Case {
    unsigned lines, modules;
    size_t entities;  // plant, lines with 2 phases + frequency, shelf + 2 sensors, modules +
                      // current, panel + 3
  } cases[] = {{1, 0, 1 + 4 + 3 + 4}, {2, 1, 1 + 8 + 3 + 2 + 4}, {2, 40, 1 + 8 + 3 + 80 + 4}};
  for (const auto& c : cases) {
    const auto m = plant(c.lines, c.modules);
    const Snapshot s = view(m);
    SCOPED_TRACE(std::to_string(c.lines) + " lines, " + std::to_string(c.modules) + " modules");
    EXPECT_EQ(s.entities().size(), c.entities);
    const auto has = [&](uint32_t i) {
      return std::binary_search(s.entities().begin(), s.entities().end(), i);
    };
    EXPECT_TRUE(has(1) && has(100) && has(101) && has(104) && has(1000) && has(2100));
    EXPECT_FALSE(has(103)) << "an unconfigured phase C is no entity";
    EXPECT_FALSE(has(2200)) << "an absent panel is no entity";
    EXPECT_EQ(has(200), c.lines == 2);
    EXPECT_EQ(has(1011), c.modules > 0);
    EXPECT_EQ(has(1000 + 10 * c.modules + 1), true);
    EXPECT_FALSE(has(1000 + 10 * (c.modules + 1)));
    // Contained in: a module's current sensor in the module, the module in the shelf.
    if (c.modules) {
      ASSERT_NE(s.find(col(kEntPhysicalEntry, 4, 1011)), nullptr);
      EXPECT_EQ(s.find(col(kEntPhysicalEntry, 4, 1011))->value.number, 1010);
      EXPECT_EQ(s.find(col(kEntPhysicalEntry, 4, 1010))->value.number, 1000);
    }
  }
}

TEST(SnmpSnapshot, ValuesAreScaledAndAbsentOnesHaveNoInstance) {
  auto m = plant(1, 1);
  m.plant.dc[0].current.reset();  // the panel's current not reported
  m.layout.phase[2] = true;       // phase C configured, but absent in the reading
  const Snapshot s = view(m);
  struct Case {
    uint32_t index;
    long long value;  // -1: no value
    int type;
  } cases[] = {{101, 2301, 3}, {102, 2294, 3},  {103, -1, 3},  {104, 5000, 7}, {1001, 5350, 4},
               {1011, 100, 5}, {2101, 5350, 4}, {2102, -1, 5}, {2103, -1, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    ASSERT_NE(s.find(sensor(1, c.index)), nullptr);
    EXPECT_EQ(s.find(sensor(1, c.index))->value.number, c.type);
    const Entry* v = s.find(sensor(4, c.index));
    EXPECT_EQ(s.find(sensor(5, c.index))->value.number, c.value < 0 ? 2 : 1);
    EXPECT_EQ(v ? v->value.number : -1, c.value);
  }
  const Oid alarm_byte = {1, 3, 6, 1, 4, 1, kEnterprise, 1, 5, 1, 1, 102};
  ASSERT_NE(s.find(alarm_byte), nullptr);
  EXPECT_EQ(s.find(alarm_byte)->value.number, 2);
}

TEST(SnmpSnapshot, StaleWithdrawsEveryMeasuredValue) {
  const auto m = plant(2, 40);
  const Snapshot s = view(m, PlantStatus::stale);
  const Oid value_column = col(kEntPhySensorEntry, 4, 0);
  const Oid priv = klx_mib();
  size_t values = 0, unavailable = 0, hardware = 0;
  for (const auto& e : s.entries()) {
    if (std::equal(value_column.begin(), value_column.end() - 1, e.oid.begin())) ++values;
    if (e.oid.size() == kEntPhySensorEntry.size() + 2 && e.oid[kEntPhySensorEntry.size()] == 5 &&
        std::equal(kEntPhySensorEntry.begin(), kEntPhySensorEntry.end(), e.oid.begin()))
      unavailable += e.value.number == 2;
    // Switches, alarm bytes, modules, panels: klxObjects 4 to 7.
    if (e.oid.size() > priv.size() + 1 && e.oid[priv.size()] == 1 && e.oid[priv.size() + 1] >= 4 &&
        e.oid[priv.size() + 1] <= 7)
      ++hardware;
  }
  EXPECT_EQ(values, 0u);
  EXPECT_EQ(unavailable, 2 * 3 + 2 + 40 + 3);
  EXPECT_EQ(hardware, 0u);
  EXPECT_EQ(s.entities().size(), view(m).entities().size()) << "the hardware stays listed";
  const Oid status = {1, 3, 6, 1, 4, 1, kEnterprise, 1, 3, 1, 2, 1};
  EXPECT_EQ(s.find(status)->value.number, 2);
}

TEST(SnmpSnapshot, GetNextWalksInOrderAcrossHolesAndTableEnds) {
  auto m = plant(1, 0);
  const Snapshot s = view(m);
  const Oid sensors(kEntPhySensorEntry);
  // Sorted, no duplicates: the walk's order.
  for (size_t i = 1; i < s.entries().size(); ++i)
    ASSERT_LT(s.entries()[i - 1].oid, s.entries()[i].oid);
  struct Case {
    Oid from, within, expected;  // expected empty: the subtree's end
  } cases[] = {
      {{1, 3, 6, 1, 2, 1, 99}, sensors, sensor(1, 101)},  // before the subtree: its first
      {sensors, sensors, sensor(1, 101)},
      {sensor(4, 102), sensors, sensor(4, 104)},  // phase C has no value: skipped
      {sensor(4, 104), sensors, sensor(4, 1001)},
      {sensor(4, 1001), sensors, sensor(4, 2101)},  // total current absent with no modules
      {sensor(4, 2101), sensors, sensor(5, 101)},   // the column's end
      {sensor(8, 2103), sensors, {}},               // the table's end
      {col(kEntPhysicalEntry, 7, 2103), kEntPhysicalEntry, {}},
      {{1, 3, 6, 1, 4, 1, kEnterprise, 1, 1}, klx_mib(), {1, 3, 6, 1, 4, 1, kEnterprise, 1, 1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(oid_text(c.from));
    const Entry* e = s.next(c.from, c.within);
    EXPECT_EQ(e ? oid_text(e->oid) : "end", c.expected.empty() ? "end" : oid_text(c.expected));
  }
  EXPECT_EQ(s.find(sensor(4, 103)), nullptr);
}

TEST(SnmpSnapshot, AlarmsAreIndexedByPlantAndKeyWithTheirSeverity) {
  auto m = plant(1, 0);
  const Snapshot s = view(m);
  Oid severity = {1, 3, 6, 1, 4, 1, kEnterprise, 1, 8, 1, 3, 1, 12};
  for (char c : std::string("419610401001")) severity.push_back(static_cast<uint8_t>(c));
  ASSERT_NE(s.find(severity), nullptr);
  EXPECT_EQ(s.find(severity)->value.number, static_cast<int>(Severity::major));

  const std::pair<int, Severity> levels[] = {
      {1, Severity::critical},      {2, Severity::major},         {3, Severity::minor},
      {4, Severity::warning},       {0, Severity::indeterminate}, {9, Severity::indeterminate},
      {-1, Severity::indeterminate}};
  for (const auto& [level, sev] : levels) EXPECT_EQ(severity_of_level(level), sev) << level;
}

TEST(SnmpSettings, ReadFromTheConfiguration) {
  const auto site = [](const std::string& snmp) {
    return parse_site_config(R"({"devices":[{"data_id":1}],"snmp":)" + snmp + "}", "c");
  };
  const auto c = site(
      R"({"agentx_socket":"/run/agentx/master","stale_after_s":30,"agentx_retry_s":2,"notify_queue":8})");
  EXPECT_EQ(c.snmp.agentx_socket, "/run/agentx/master");
  EXPECT_EQ(c.snmp.stale_after_s, 30);
  EXPECT_EQ(c.snmp.agentx_retry_s, 2u);
  EXPECT_EQ(c.snmp.notify_queue, 8u);
  EXPECT_TRUE(site("{}").snmp.agentx_socket.empty());
  for (const char* bad :
       {"1", R"({"socket":"x"})", R"({"agentx_socket":""})", R"({"notify_queue":0})",
        R"({"agentx_retry_s":1.5})", R"({"stale_after_s":"9"})"})
    EXPECT_THROW(site(bad), ConfigError) << bad;
}

}  // namespace
}  // namespace klxhost::snmp
