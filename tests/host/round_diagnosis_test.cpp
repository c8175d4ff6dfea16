// Why no round completed, from the counters, in words a person setting the line up can act on.
#include "klx/round_diagnosis.h"

#include <gtest/gtest.h>

namespace {

klx::RoundFacts facts(uint64_t commands, uint64_t answers, uint64_t timeouts) {
  klx::RoundFacts f;
  f.address = 3;
  f.commands = commands;
  f.answers = answers;
  f.timeouts = timeouts;
  return f;
}

TEST(RoundDiagnosis, SaysWhyFromTheCounters) {
  struct Row {
    klx::RoundFacts f;
    const char* says;
  };
  Row rows[] = {
      {facts(0, 0, 0), "no command could be sent: the line never opened (gone)"},
      {facts(40, 0, 40), "address 3 never answered (40 commands timed out)"},
      {facts(40, 0, 40), "frames came from another address: is the device's address 3?"},
      {facts(40, 0, 0), "every answer was damaged (40)"},
      {facts(40, 30, 10), "30 answers, 10 time-outs"},
      {facts(40, 30, 0), "RTN 0x04 (unknown command), the last to 0x42/0x41; has_dc is set"},
      {facts(40, 0, 0),
       "RTN 0x05 (command format error), the last to 0x40/0x41; the AC "
       "command's data byte does not fit: try no_40_arg"},
      {facts(40, 0, 0), "2 x RTN 0x01 (version error), 1 x another RTN code"},
  };
  rows[0].f.line_error = "gone";
  rows[2].f.wrong_address = 40;
  rows[3].f.bad_frames = 40;
  rows[5].f.rtn_by_code[4] = 10;
  rows[5].f.last_refused = 0x4241;
  rows[6].f.rtn_by_code[5] = 40;
  rows[6].f.last_refused = 0x4041;
  rows[7].f.rtn_by_code[1] = 2;
  rows[7].f.rtn_by_code[0] = 1;
  for (const auto& r : rows) {
    const std::string text = klx::diagnose_round(r.f);
    EXPECT_NE(text.find(r.says), std::string::npos) << text;
  }
}

}  // namespace
