#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/hex.h"
#include "support/stdout_capture.h"

namespace simtest {

sim::Model model_from(const std::string& json) { return sim::parse_model(json, "test model"); }

std::vector<uint8_t> command(uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& data,
                             uint8_t adr, uint8_t ver) {
  const std::string f = klx::encode_frame(ver, adr, cid1, cid2, data.data(), data.size());
  return std::vector<uint8_t>(f.begin(), f.end());
}

Reply ask(klx::Peer& s, const std::vector<uint8_t>& frame, int expect_adr) {
  Reply r;
  r.chunks = s.respond(frame);
  for (const auto& c : r.chunks) r.line.append(c.bytes.begin(), c.bytes.end());
  klx::FrameParser parser;
  parser.expect_address(expect_adr);
  r.frames = parser.feed(reinterpret_cast<const uint8_t*>(r.line.data()), r.line.size());
  r.counters = parser.counters();
  return r;
}

Reply ask(sim::Simulator& s, uint8_t cid1, uint8_t cid2, const std::vector<uint8_t>& data) {
  return ask(s, command(cid1, cid2, data));
}

std::vector<std::string> run_round(TestDevice& dev, sim::Simulator& s) {
  std::vector<std::string> sent;
  const size_t first = dev.rec.commands.size();
  StdoutCapture quiet;  // the plug-in's diagnostic lines are not what these tests look at
  if (dev.RefreshStatus() != 1) {
    ADD_FAILURE() << "the device did not start a round";
    return sent;
  }
  for (size_t i = first; i < dev.rec.commands.size(); ++i) {
    const Recorder::Command cmd = dev.rec.commands[i];
    char name[16];
    std::snprintf(name, sizeof name, "%02x %02x", cmd.cid1, cmd.cid2);
    sent.push_back(cmd.data.empty() ? name : std::string(name) + " " + hex::encode(cmd.data));
    const Reply r = ask(s, command(cmd.cid1, cmd.cid2, cmd.data, dev.address_));
    if (r.frames.size() != 1 || r.frames[0].cid2 != 0) {
      ADD_FAILURE() << "no good answer to " << sent.back() << ": " << r.line;
      return sent;
    }
    dev.answer(r.frames[0].info, r.frames[0].cid1);
  }
  return sent;
}

}  // namespace simtest
