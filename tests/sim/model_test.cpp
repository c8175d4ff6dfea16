// Reading model files: the example, absent values, and clear refusals of bad models.
#include <gtest/gtest.h>

#include "sim/answers.h"
#include "sim_test_util.h"

namespace {

using simtest::model_from;

TEST(ModelFile, ExampleLoads) {
  const sim::Model m = sim::load_model_file(KLX_SOURCE_DIR "/sim/models/example.json");
  EXPECT_EQ(m.ac.lines.size(), 2u);
  EXPECT_EQ(m.rectifiers.modules.size(), 8u);
  EXPECT_EQ(m.rectifiers.modules[7].current.value, 9.9f);  // "count" repeats the last module
  EXPECT_EQ(m.dc.panels.size(), 2u);
  EXPECT_FALSE(m.events.empty());
}

TEST(ModelFile, AbsentValuesUseTheirPattern) {
  const sim::Model m = model_from(R"({"rectifiers": {"voltage": "absent", "modules": [
                                        {"current": "absent:FF"}]}})");
  const sim::Bytes info = sim::info_41_41(m);
  EXPECT_EQ(sim::Bytes(info.begin() + 1, info.begin() + 5), (sim::Bytes{0x20, 0x20, 0x20, 0x20}));
  EXPECT_EQ(sim::Bytes(info.begin() + 6, info.begin() + 10), (sim::Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(ModelFile, SectionsLeftOutAreNotFitted) {
  const sim::Model m = model_from(R"({"rectifiers": {}})");
  EXPECT_FALSE(m.ac.present);
  EXPECT_FALSE(m.dc.present);
}

TEST(ModelFile, BadModelsAreRefusedWithThePlace) {
  const struct {
    const char* json;
    const char* message;
  } rows[] = {
      {"{", "test model: not valid JSON: "},
      {R"({"ac": {}})", "test model: top level: the \"rectifiers\" section is required"},
      {R"({"rectifiers": {}, "colour": 1})", "test model: colour: unknown key"},
      {R"({"rectifiers": {"modules": [{"current": "lots"}]}})",
       "test model: rectifiers.modules[0].current: expected a number, \"absent\" or \"absent:XX\" "
       "(XX a non-zero hex byte)"},
      {R"({"rectifiers": {"modules": [{"alarm": 256}]}})",
       "test model: rectifiers.modules[0].alarm: expected a whole number from 0 to 255"},
      {R"({"rectifiers": {"modules": [{"status": [0, 0]}]}})",
       "test model: rectifiers.modules[0].status: expected 3 bytes"},
      {R"({"rectifiers": {"count": 300}})",
       "test model: rectifiers.count: expected a whole number from 0 to 255"},
      {R"({"rectifiers": {}, "events": [{"at": 5, "type": "flood"}]})",
       "test model: events[0].type: unknown type \"flood\" (known: mains_failure, module_fail, "
       "module_stop, module_start, dc_ramp, module_count, dc_alarm, switch)"},
      {R"({"rectifiers": {}, "events": [{"at": 5, "type": "mains_failure", "line": 1}]})",
       "test model: events[0]: the model has no AC line 1"},
      {R"({"rectifiers": {}, "events": [{"at": -1, "type": "module_count", "count": 1}]})",
       "test model: events[0].at: expected a time in seconds, not negative"},
      {R"({"rectifiers": {}, "faults": [{"type": "rtn", "rtn": 0}]})",
       "test model: faults[0].rtn: a rtn fault needs RTN 1 to 255"},
      {R"({"rectifiers": {}, "faults": [{"type": "slow", "probability": 2}]})",
       "test model: faults[0].probability: expected 0 to 1"},
      {R"({"rectifiers": {"modules": [{"extra": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,
          20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,
          50,51,52,53,54,55,56,57,58,59,60]}], "count": 10}})",
       "test model: the 41/41 answer would carry 2456 info bytes, more than one frame holds "
       "(2047)"},
  };
  for (const auto& row : rows) {
    try {
      model_from(row.json);
      ADD_FAILURE() << "accepted: " << row.json;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, std::string(row.message).size()), row.message)
          << row.json;
    }
  }
}

}  // namespace
