// Capture files replayed (`--port replay:FILE`): the script is read, and a script that is taken
// answers the device's commands with frames the host's parser takes whole. Each answer, written
// back as a capture line (what --capture keeps), replays to the same bytes. A script that is not
// taken is refused only with std::runtime_error.
#include <sstream>
#include <stdexcept>

#include "fuzz_support.h"
#include "klx/frame.h"
#include "klx/replay.h"

namespace {

constexpr int kCommands = 24;

// The bytes a script answers to one command (all its chunks, delays ignored).
std::string answer_to(klx::ReplayPeer& peer, const std::string& command) {
  std::string out;
  for (const auto& c : peer.respond(std::vector<uint8_t>(command.begin(), command.end())))
    out.append(c.bytes.begin(), c.bytes.end());
  return out;
}

std::unique_ptr<klx::ReplayPeer> load(const std::string& text) {
  std::istringstream s(text);
  try {
    return klx::ReplayPeer::from_stream(s, "capture");
  } catch (const std::runtime_error&) {
    return nullptr;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  // The commands come first: (address, cid1, cid2) triples; the script is the rest.
  std::vector<std::string> commands;
  const int n = in.byte() % kCommands;
  for (int i = 0; i < n; ++i) {
    const uint8_t adr = in.byte(), cid1 = in.byte(), cid2 = in.byte();
    commands.push_back(klx::encode_frame(0x20, adr, cid1, cid2, nullptr, 0));
  }
  const std::vector<uint8_t> rest = in.rest();
  auto peer = load(std::string(rest.begin(), rest.end()));
  if (!peer) return 0;
  for (const std::string& command : commands) {
    const std::string answer = answer_to(*peer, command);
    if (answer.empty()) continue;  // a time-out
    klx::FrameParser parser;
    const auto frames = parser.feed(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
    require(frames.size() == 1, "one whole frame per answer");
    klx::FrameParser cmd_parser;
    const auto cmd =
        cmd_parser.feed(reinterpret_cast<const uint8_t*>(command.data()), command.size());
    require(cmd.size() == 1, "the command parses");
    require(frames[0].adr == cmd[0].adr, "answered from the command's address");
    // Kept by --capture and replayed: the same answer.
    auto again = load(klx::ReplayPeer::line_of(cmd[0].cid1, cmd[0].cid2, &frames[0]) + "\n");
    require(again != nullptr, "a capture line is a script");
    require(answer_to(*again, command) == answer, "a captured answer replays the same");
  }
  return 0;
}
