#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "klx/peer.h"
#include "sim/model.h"

// Line faults applied to the simulator's answers: each rule fires when its time window, command
// filter and remaining count allow it and its seeded chance comes up. The same seed and the same
// sequence of commands give the same faults.
namespace sim {

// One answer before it goes on the line.
struct Answer {
  uint8_t ver = 0x20;
  uint8_t adr = 1;
  uint8_t cid1 = 0;
  uint8_t cmd = 0;  // the command answered (the answer's CID2 is the RTN)
  uint8_t rtn = 0;
  Bytes info;
};

class FaultInjector {
 public:
  FaultInjector(std::vector<FaultRule> rules, uint32_t seed);

  // The answer as the line carries it: nothing for a silent line, else one or more chunks.
  std::vector<klx::TimedChunk> deliver(const Answer& answer, double t);

  // How often each rule has fired.
  const std::vector<uint64_t>& fired() const { return fired_; }

 private:
  bool fires(size_t i, const Answer& a, double t);

  std::vector<FaultRule> rules_;
  std::vector<uint64_t> fired_;
  std::mt19937 rng_;
};

// The frame-level damage, exposed for tests: each takes one encoded frame (SOI to EOI).
std::string with_bad_chksum(std::string frame);
std::string with_bad_lchksum(std::string frame);
std::string with_bytes_inside(std::string frame, const Bytes& garbage);
std::vector<klx::TimedChunk> split_chunks(const std::string& bytes, int chunks, uint32_t pause_ms);

}  // namespace sim
