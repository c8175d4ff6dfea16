// klx-host as an AgentX subagent of a real snmpd, with a real snmptrapd receiving the informs:
// what a manager walks, the notifications of alarms and of a plant that stops answering, a
// restarted master, and what the master refuses.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>

#include "snmp_daemons.h"
#include "support/run_tool.h"
#include "support/scratch.h"

namespace {

using snmp_test::Daemons;
using snmp_test::run;
using snmp_test::wait_for;
using std::chrono::seconds;

const std::string kEntity = "1.3.6.1.2.1.47.1.1.1.1";
const std::string kSensor = "1.3.6.1.2.1.99.1.1.1";
const std::string kKlx = "1.3.6.1.4.1.32473";

// A model file for the in-process simulator: `lines` mains lines, `modules` modules, one DC
// panel, and `extra` ("events", "faults") spliced in.
std::string model(unsigned lines, unsigned modules, const std::string& extra = "") {
  std::string ac;
  for (unsigned l = 0; l < lines; ++l)
    ac += std::string(l ? "," : "") +
          R"({"a":230.1,"b":229.4,"c":231.2,"f":50.0,"alarms":[0,0,0,0]})";
  std::string m =
      R"({"ac":{"lines":[)" + ac + R"(],"switches":[0,1],"alarms":[0,0,0]},)" +
      R"("rectifiers":{"voltage":53.5,"modules":[)" + (modules ? R"({"current":10.0})" : "") + "]" +
      (modules > 1 ? ",\"count\":" + std::to_string(modules) : "") + "}," +
      R"("dc":{"panels":[{"voltage":53.5,"current":20.0,"alarm":0,"fuses":[0,0]}]})" + extra + "}";
  const std::string path = klx_test::scratch_path("model.json");
  std::ofstream(path) << m;
  return path;
}

// A configuration of one device per model, the SNMP subagent on `socket`.
std::string config(const std::vector<std::string>& models, const std::string& socket) {
  std::string devices;
  for (size_t i = 0; i < models.size(); ++i)
    devices += std::string(i ? "," : "") + R"({"data_id":)" + std::to_string(i + 1) +
               R"(,"port":"sim:)" + models[i] +
               R"(","settings":{"appSetting":{"has_dc":1}},)"
               R"("limits":{"419610401001":{"low":187,"high":253,"level":2}}})";
  const std::string path = klx_test::scratch_path("klx-host.json");
  std::ofstream(path) << R"({"devices":[)" << devices << R"(],"snmp":{"agentx_socket":")" << socket
                      << R"(","stale_after_s":3,"agentx_retry_s":1}})";
  return path;
}

std::string err_of(const Background& b) { return slurp(b.err_path); }

class Agentx : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!snmp_test::tools_installed()) GTEST_SKIP() << "snmpd, snmptrapd or snmp tools missing";
    ASSERT_TRUE(d_.start_trapd());
    ASSERT_TRUE(d_.start_snmpd());
  }
  void TearDown() override {
    if (host_.pid > 0) stop_tool(host_);
  }
  void start_host(const std::vector<std::string>& models) {
    host_ = start_tool("klx-host", {"--config", config(models, d_.agentx_socket())}, {},
                       Stdout::discard);
    ASSERT_TRUE(connected(1)) << err_of(host_);
  }
  bool connected(size_t times) {
    return wait_for([&] {
      const std::string e = err_of(host_);
      size_t n = 0;
      for (size_t at = 0; (at = e.find("snmp: connected to", at)) != std::string::npos; ++at) ++n;
      return n >= times;
    });
  }
  // The walk's lines "OID = TYPE: VALUE" by numeric OID (without the leading dot).
  std::map<std::string, std::string> walk(const std::string& root) {
    auto a = d_.v3("snmpbulkwalk");
    a.insert(a.end(), {"-Cr60", root});
    std::map<std::string, std::string> out;
    std::istringstream in(run(a).text);
    for (std::string line; std::getline(in, line);) {
      const size_t eq = line.find(" = ");
      // An empty subtree walks as one "No Such Object" line.
      if (line.size() > 1 && line[0] == '.' && eq != std::string::npos &&
          line.compare(eq + 3, 7, "No Such") != 0)
        out[line.substr(1, eq - 1)] = line.substr(eq + 3);
    }
    return out;
  }
  std::string get(const std::string& oid) {
    auto a = d_.v3("snmpget");
    a.push_back(oid);
    return run(a).text;
  }
  // The informs whose snmpTrapOID is under the private MIB's notifications.
  std::vector<std::string> klx_informs() {
    std::vector<std::string> out;
    for (const auto& i : d_.informs())
      if (i.find("OID: ." + kKlx + ".0.") != std::string::npos) out.push_back(i);
    return out;
  }

  Daemons d_;
  Background host_;
};

long sequence_of(const std::string& inform) {
  const std::string field = "." + std::string(kKlx) + ".1.1.0 = Gauge32: ";
  const size_t at = inform.find(field);
  if (at == std::string::npos) return -1;
  const size_t digits = at + field.size();
  return std::isdigit(static_cast<unsigned char>(inform[digits])) ? std::stol(inform.substr(digits))
                                                                  : -1;
}

TEST_F(Agentx, BulkWalkServesEveryShapeAndAbsentValuesAreUnavailable) {
  start_host({model(1, 0), model(2, 1), model(2, 40)});
  // Every device has completed a round: its plant status is fresh(1).
  ASSERT_TRUE(wait_for([&] {
    const auto w = walk(kKlx + ".1.3.1.2");
    return w.size() == 3 && std::all_of(w.begin(), w.end(),
                                        [](const auto& kv) { return kv.second == "INTEGER: 1"; });
  }));
  std::set<uint32_t> expected;
  for (uint32_t dev = 0; dev < 3; ++dev) {
    const uint32_t base = 10000 * dev;
    const unsigned lines = dev ? 2 : 1, modules = dev == 0 ? 0 : dev == 1 ? 1 : 40;
    for (uint32_t i : {1u, 1000u, 1001u, 1002u, 2100u, 2101u, 2102u, 2103u})
      expected.insert(base + i);
    for (unsigned l = 1; l <= lines; ++l)
      for (uint32_t k = 0; k <= 4; ++k) expected.insert(base + 100 * l + k);
    for (unsigned m = 1; m <= modules; ++m)
      expected.insert(base + 1000 + 10 * m), expected.insert(base + 1001 + 10 * m);
  }
  std::set<std::string> want;
  for (uint32_t c : {2u, 4u, 5u, 7u})
    for (uint32_t i : expected)
      want.insert(kEntity + "." + std::to_string(c) + "." + std::to_string(i));
  std::set<std::string> got;
  for (const auto& kv : walk("1.3.6.1.2.1.47.1.1.1")) got.insert(kv.first);
  EXPECT_EQ(got, want);

  const auto sensors = walk("1.3.6.1.2.1.99.1.1");
  EXPECT_EQ(sensors.at(kSensor + ".4.101"), "INTEGER: 2301");
  EXPECT_EQ(sensors.at(kSensor + ".4.21011"), "INTEGER: 100");
  // No modules: the shelf's total current is absent, never 0.
  EXPECT_EQ(sensors.count(kSensor + ".4.1002"), 0u);
  EXPECT_EQ(sensors.at(kSensor + ".5.1002"), "INTEGER: 2");
  EXPECT_NE(get(kSensor + ".4.1002").find("No Such Instance"), std::string::npos);
  EXPECT_EQ(walk(kKlx + ".1.6.1.1").size(), 41u);  // module states of devices 2 and 3
}

TEST_F(Agentx, AlarmsAndAStalePlantAreNotifiedInSequence) {
  // Line 1 fails from 4 s to 10 s (its phase A leaves the host's limits); the plant is silent
  // from 14 s to 24 s, longer than stale_after_s.
  start_host({model(2, 1,
                    R"(,"events":[{"at":4,"type":"mains_failure","line":1,"duration":6}],)"
                    R"("faults":[{"type":"no_answer","from":14,"to":24}])")});
  ASSERT_TRUE(wait_for([&] { return klx_informs().size() >= 2; }, seconds(40))) << err_of(host_);
  auto informs = klx_informs();
  EXPECT_NE(informs[0].find("OID: ." + kKlx + ".0.1"), std::string::npos) << informs[0];
  EXPECT_NE(informs[1].find("OID: ." + kKlx + ".0.2"), std::string::npos) << informs[1];
  for (const auto& i : {informs[0], informs[1]}) {
    EXPECT_NE(i.find(kKlx + ".1.9.3.0 = INTEGER: 4"), std::string::npos) << i;  // major
    EXPECT_NE(i.find(kKlx + ".1.9.4.0 = INTEGER: 2"), std::string::npos) << i;  // the level
    EXPECT_NE(i.find(kKlx + ".1.9.2.0 = STRING: \"419610401001"), std::string::npos) << i;
    EXPECT_NE(i.find(kKlx + ".1.9.6.0 = "), std::string::npos) << i;  // a limit has no name
  }
  EXPECT_EQ(sequence_of(informs[1]), sequence_of(informs[0]) + 1);

  // Silent: every value withdrawn, with a notification; back with the next round.
  ASSERT_TRUE(wait_for([&] { return klx_informs().size() >= 3; }, seconds(40))) << err_of(host_);
  const auto values = walk("1.3.6.1.2.1.99.1.1.1.4");
  const auto lost = klx_informs()[2];
  EXPECT_NE(lost.find("OID: ." + kKlx + ".0.3"), std::string::npos) << lost;
  EXPECT_TRUE(values.empty()) << values.size() << " values while stale";
  EXPECT_NE(get(kSensor + ".4.101").find("No Such Instance"), std::string::npos);
  ASSERT_TRUE(wait_for([&] { return klx_informs().size() >= 4; }, seconds(40))) << err_of(host_);
  EXPECT_NE(klx_informs()[3].find("OID: ." + kKlx + ".0.4"), std::string::npos);
  EXPECT_NE(get(kSensor + ".4.101").find("INTEGER: 2301"), std::string::npos);
  EXPECT_EQ(sequence_of(klx_informs()[3]), sequence_of(informs[0]) + 3);
}

TEST_F(Agentx, ARestartedMasterGetsTheSubagentBackAndTheAlarmsRaisedMeanwhile) {
  start_host({model(1, 1, R"(,"events":[{"at":6,"type":"mains_failure","line":1}])")});
  d_.stop_snmpd();
  ASSERT_TRUE(wait_for([&] { return err_of(host_).find("active alarms 1") != std::string::npos; }))
      << err_of(host_);
  ASSERT_TRUE(d_.start_snmpd());
  // agentx_retry_s is 1, so the subagent is back about a second after the master's socket; the
  // bound here only ends a hung test (a loaded CI machine is no measure of the interval).
  ASSERT_TRUE(wait_for([&] { return connected(2); }, seconds(15))) << err_of(host_);
  ASSERT_TRUE(wait_for([&] { return !klx_informs().empty(); })) << err_of(host_);
  EXPECT_NE(klx_informs()[0].find("OID: ." + kKlx + ".0.1"), std::string::npos);
  EXPECT_NE(get(kSensor + ".1.101").find("INTEGER: 3"), std::string::npos);
}

TEST_F(Agentx, TheMasterRefusesCommunitiesUnauthenticatedUsersAndSets) {
  start_host({model(1, 1)});
  const auto v2c = run({"snmpget", "-v2c", "-c", "public", "-On", "-t", "1", "-r", "0",
                        d_.address(), "1.3.6.1.2.1.47.1.1.1.1.2.1"});
  EXPECT_NE(v2c.status, 0);
  EXPECT_NE(v2c.text.find("Timeout"), std::string::npos) << v2c.text;
  auto noauth = d_.v3("snmpget", "noAuthNoPriv");
  noauth.push_back(kEntity + ".2.1");
  const auto refused = run(noauth);
  EXPECT_EQ(refused.text.find("power system"), std::string::npos) << refused.text;
  auto set = d_.v3("snmpset");
  set.insert(set.end(), {kEntity + ".2.1", "s", "changed"});
  const auto write = run(set);
  EXPECT_NE(write.status, 0);
  EXPECT_NE(write.text.find("noAccess"), std::string::npos) << write.text;
  EXPECT_NE(get(kEntity + ".2.1").find("48 V DC power system"), std::string::npos);
}

TEST(KlxPowerMib, PassesSmilintWithTheStubBaseModules) {
  if (access("/usr/bin/smilint", X_OK) != 0) GTEST_SKIP() << "smilint missing";
  const auto r = run_program("/usr/bin/smilint", {"-l", "3", KLX_MIB_FILE},
                             {std::string("SMIPATH=") + KLX_MIB_STUBS});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
}

}  // namespace
