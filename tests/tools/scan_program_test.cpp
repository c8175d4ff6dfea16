// klx-scan against klx-sim: a line of three power systems of different layouts, a silent device,
// unserved addresses, a device of another protocol version and a garbled one, found on a
// pseudo-terminal and over TCP; the configuration written for them polled by klx-host; the speed
// search against a simulator that answers at one speed only; ports that cannot be used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sys/file.h>
#include <unistd.h>

#include <sstream>

#include "support/run_tool.h"

namespace {

const std::string kLine = std::string(KLX_SOURCE_DIR) + "/sim/models/lines/commissioning.json";

Json::Value parse(const std::string& text) {
  Json::Value v;
  std::istringstream in(text);
  Json::CharReaderBuilder b;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errors)) << errors << text;
  return v;
}

const Json::Value* at_address(const Json::Value& list, int address) {
  for (const auto& d : list)
    if (d["address"].asInt() == address) return &d;
  return nullptr;
}

// What the line of commissioning.json must show, wherever it is scanned from.
void expect_commissioning_line(const Json::Value& list) {
  ASSERT_TRUE(list.isArray());
  for (int silent : {4, 5, 7}) EXPECT_EQ(at_address(list, silent), nullptr) << silent;
  const struct {
    int address;
    const char* groups;
    int ac_lines, modules, dc_panels;
    bool count_byte;
  } ok[] = {{1, "0x40 0x41 0x42", 2, 6, 1, true},
            {2, "0x40 0x41 0x42", 1, 4, 1, false},
            {3, "0x41 0x42", -1, 12, 2, true}};
  for (const auto& e : ok) {
    const Json::Value* d = at_address(list, e.address);
    ASSERT_NE(d, nullptr) << e.address;
    std::string groups;
    for (const auto& g : (*d)["groups"]) groups += (groups.empty() ? "" : " ") + g.asString();
    EXPECT_EQ(groups, e.groups) << e.address;
    EXPECT_EQ((*d)["status"].asString(), "ok") << e.address;
    EXPECT_EQ((*d)["version"].asString(), "0x20");
    const Json::Value& l = (*d)["layout"];
    EXPECT_EQ(l.get("ac_lines", -1).asInt(), e.ac_lines) << e.address;
    EXPECT_EQ(l["modules"].asInt(), e.modules) << e.address;
    EXPECT_EQ(l["dc_panels"].asInt(), e.dc_panels) << e.address;
    EXPECT_EQ(l["dc_panel_count_byte"].asBool(), e.count_byte) << e.address;
  }
  EXPECT_TRUE((*at_address(list, 2))["layout"]["no_42_arg"].asBool());
  // The maker's GB18030 name comes back as UTF-8.
  EXPECT_EQ((*at_address(list, 3))["manufacturer"]["maker"].asString(), "科凡电源");
  EXPECT_EQ((*at_address(list, 1))["manufacturer"]["software_version"].asString(), "3.12");
  const Json::Value* other = at_address(list, 6);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ((*other)["version"].asString(), "0x21");
  EXPECT_NE((*other)["reason"].asString().find("protocol version 0x21"), std::string::npos);
  const Json::Value* garbled = at_address(list, 8);
  ASSERT_NE(garbled, nullptr);
  EXPECT_NE((*garbled)["reason"].asString().find("garbled"), std::string::npos);
}

}  // namespace

TEST(KlxScan, FindsTheLineOnAPtyAndWritesAConfigurationKlxHostPolls) {
  Background sim = start_tool("klx-sim", {"--model", kLine, "--pty"});
  const std::string pty = first_line(sim);
  const std::string config = temp_path("scanned.json");
  const ToolRun table = run_tool("klx-scan", {pty, "--addresses", "1-8"});
  const ToolRun json =
      run_tool("klx-scan", {pty, "--addresses", "1-8", "--json", "--write-config", config});
  const ToolRun again = run_tool("klx-scan", {pty, "--addresses", "1", "--write-config", config});
  const ToolRun host =
      run_tool("klx-host", {"--config", config, "--rounds", "3"}, fast_clock_env(50));
  EXPECT_EQ(stop_tool(sim).status, 0);

  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("科凡电源"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("garbled answers"), std::string::npos) << table.out;
  EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 6) << table.out;  // head + 5
  ASSERT_EQ(json.status, 0) << json.err;
  expect_commissioning_line(parse(json.out));

  const Json::Value c = parse(slurp(config));
  ASSERT_EQ(c["devices"].size(), 3u) << slurp(config);
  const Json::Value& two = c["devices"][1];
  EXPECT_EQ(two["data_id"].asInt(), 2);
  EXPECT_EQ(two["port"].asString(), pty);
  EXPECT_EQ(two["settings"]["appSetting"]["no_dc_number"].asString(), "1");
  EXPECT_EQ(two["settings"]["appSetting"]["no_42_arg"].asString(), "1");
  EXPECT_EQ(c["devices"][2]["settings"]["appSetting"]["has_ac"].asString(), "0");
  EXPECT_TRUE(two["_comment"].isArray());
  EXPECT_NE(c["_comment"].toStyledString().find("address 6 left out"), std::string::npos);

  EXPECT_EQ(again.status, 2);
  EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;
  EXPECT_EQ(host.status, 0) << host.err;
  for (const char* id : {"data_id 1 round 3", "data_id 2 round 3", "data_id 3 round 3"})
    EXPECT_NE(host.err.find(id), std::string::npos) << id << "\n" << host.err;
}

TEST(KlxScan, FindsTheLineOverTcp) {
  Background sim = start_tool("klx-sim", {"--model", kLine, "--listen", "0"});
  const std::string port = first_line(sim);
  const ToolRun r = run_tool("klx-scan", {"tcp:127.0.0.1:" + port, "--addresses", "1-8", "--json"});
  EXPECT_EQ(stop_tool(sim).status, 0);
  ASSERT_EQ(r.status, 0) << r.err;
  expect_commissioning_line(parse(r.out));
}

// The simulator sees the speed klx-scan sets on its end of the pseudo-terminal.
TEST(KlxScan, SearchesTheSpeed) {
  Background sim = start_tool("klx-sim", {"--device", "5", "--pty", "--answer-baud", "4800"});
  const std::string pty = first_line(sim);
  const ToolRun r =
      run_tool("klx-scan", {pty, "--addresses", "4-6", "--bauds", "9600,4800,19200", "--json"});
  EXPECT_EQ(stop_tool(sim).status, 0);
  ASSERT_EQ(r.status, 0) << r.err;
  const Json::Value list = parse(r.out);
  ASSERT_EQ(list.size(), 1u) << r.out;
  EXPECT_EQ(list[0]["address"].asInt(), 5);
  EXPECT_EQ(list[0]["baud"].asInt(), 4800);
}

TEST(KlxScan, PortsThatCannotBeUsedExitWithTwo) {
  Background sim = start_tool("klx-sim", {"--pty"});
  const std::string pty = first_line(sim);
  const int holder = open(pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // as a running klx-host holds it
  const ToolRun busy = run_tool("klx-scan", {pty, "--addresses", "1"});
  close(holder);
  EXPECT_EQ(stop_tool(sim).status, 0);
  const ToolRun absent = run_tool("klx-scan", {"/dev/ttyKLXNONE", "--addresses", "1"});
  EXPECT_EQ(busy.status, 2);
  EXPECT_NE(busy.err.find("in use"), std::string::npos) << busy.err;
  EXPECT_EQ(absent.status, 2);
  EXPECT_NE(absent.err.find("no such serial device"), std::string::npos) << absent.err;
}
