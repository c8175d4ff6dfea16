#pragma once

// Scripted answers for the `replay:FILE` port. FILE has one JSON object a line:
//   {"cid1":"40","cid2":"41","info":"01..."}        an answer (optional "rtn":"04"; no info: none)
//   {"cid1":"40","cid2":"41","timeout":true}        no answer at all
// (what `klx-host --capture` writes, so that a session captured at a site replays as it ran).
// Each command takes the next entry queued for its (cid1, cid2) pair; the last entry of a pair
// answers every later command of that pair; a pair with no entry times out. Answers are encoded
// to frames (VER and ADR of the command) and go through the host's parser like any other line.

#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "klx/api.h"
#include "klx/frame.h"
#include "klx/peer.h"

namespace klx {

struct ReplayEntry {
  bool timeout = false;
  uint8_t rtn = 0;
  std::vector<uint8_t> info;
};

class KLX_API ReplayPeer : public Peer {
 public:
  using Key = std::pair<uint8_t, uint8_t>;  // cid1, cid2

  // Reads the script; throws std::runtime_error naming the line and the key at fault.
  static std::unique_ptr<ReplayPeer> from_stream(std::istream& in, const std::string& name);
  static std::unique_ptr<ReplayPeer> from_file(const std::string& path);

  std::vector<TimedChunk> respond(const std::vector<uint8_t>& written) override;

  // The script line that replays one exchange: the command (cid1, cid2) and the frame taken as
  // its answer, or none (a time-out or a bad frame). No newline.
  static std::string line_of(uint8_t cid1, uint8_t cid2, const Frame* answer);

  // Commands answered so far, and commands for which the script had nothing.
  size_t answered() const { return answered_; }
  size_t unanswered() const { return unanswered_; }

 private:
  std::vector<uint8_t> answer(const Frame& command);

  std::map<Key, std::vector<ReplayEntry>> script_;
  std::map<Key, size_t> next_;
  FrameParser parser_;
  size_t answered_ = 0;
  size_t unanswered_ = 0;
};

}  // namespace klx
