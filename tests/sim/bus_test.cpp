// Several simulated devices on one line: each answers its own address only, a frame for an
// address nobody serves meets silence, and a listing of devices is read strictly.
#include "sim/bus.h"

#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace {

using simtest::ask;
using simtest::command;

sim::Model model_at(float volts) {
  sim::Model m = sim::default_model();
  m.rectifiers.voltage.value = volts;
  return m;
}

TEST(SimulatorBus, EachAddressAnswersFromItsOwnModel) {
  std::vector<sim::LineDevice> line;
  line.push_back({1, model_at(53.5f)});
  line.push_back({7, model_at(48.0f)});
  sim::Bus bus(std::move(line));
  const std::vector<uint8_t> rc_41_41 = command(0x41, 0x41, {}, 1);
  const auto one = ask(bus, rc_41_41, 1);
  const auto seven = ask(bus, command(0x41, 0x41, {}, 7), 7);
  ASSERT_EQ(one.frames.size(), 1u) << one.line;
  ASSERT_EQ(seven.frames.size(), 1u) << seven.line;
  EXPECT_NE(one.frames[0].info, seven.frames[0].info);  // two models, two voltages
  EXPECT_TRUE(ask(bus, command(0x41, 0x41, {}, 2), 2).line.empty());
  // A damaged frame is answered (with its RTN) by its addressee only.
  std::vector<uint8_t> damaged = command(0x41, 0x41, {}, 7);
  damaged[damaged.size() - 2] ^= 1;
  const auto rtn = ask(bus, damaged, 7);
  ASSERT_EQ(rtn.frames.size(), 1u) << rtn.line;
  EXPECT_EQ(rtn.frames[0].cid2, 0x02);
}

TEST(SimulatorBus, TheListingOfDevices) {
  const auto line = sim::parse_line(
      R"({"devices": [{"address": 3}, {"address": 9, "model": {"rectifiers": {"voltage": 48}}}]})",
      "line.json", 1, "");
  ASSERT_EQ(line.size(), 2u);
  EXPECT_EQ(line[0].address, 3);
  EXPECT_EQ(line[0].model.rectifiers.modules.size(),
            sim::default_model().rectifiers.modules.size());
  EXPECT_EQ(line[1].address, 9);
  EXPECT_FLOAT_EQ(line[1].model.rectifiers.voltage.value, 48.0f);
  // A plain model is one device at the address given.
  EXPECT_EQ(sim::parse_line(R"({"rectifiers": {}})", "m.json", 5, "").at(0).address, 5);

  const struct {
    const char* json;
    const char* error;
  } bad[] = {
      {R"({"devices": []})", "line.json: devices: expected 1 to 254 devices"},
      {R"({"devices": [{"model": {}}]})", "line.json: devices[0]: \"address\" is required"},
      {R"({"devices": [{"address": 255}]})",
       "line.json: devices[0].address: expected a whole number from 1 to 254"},
      {R"({"devices": [{"address": 2}, {"address": 2}]})",
       "line.json: devices[1].address: address 2 twice"},
      {R"({"devices": [{"address": 2, "adress": 3}]})",
       "line.json: devices[0].adress: unknown key"},
      {R"({"devices": [{"address": 2, "model": {"rectifiers": {"volts": 1}}}]})",
       "line.json: devices[0].model.rectifiers.volts: unknown key"},
      {R"({"devices": [{"address": 2, "model": "missing.json"}]})",
       "cannot read model file /nowhere/missing.json: No such file or directory"},
  };
  for (const auto& b : bad) {
    try {
      sim::parse_line(b.json, "line.json", 1, "/nowhere");
      ADD_FAILURE() << b.json << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), b.error) << b.json;
    }
  }
}

}  // namespace
