#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "klx/peer.h"
#include "sim/simulator.h"

namespace sim {

// Several simulated devices on one half-duplex line: every command frame reaches each of them and
// only the device it is addressed to answers, so a frame for an address nobody serves meets
// silence, as on a real bus.
class Bus : public klx::Peer {
 public:
  // Throws std::runtime_error when two devices share an address.
  explicit Bus(std::vector<LineDevice> devices, Clock clock = system_seconds);

  std::vector<klx::TimedChunk> respond(const std::vector<uint8_t>& written) override;

  // The device at `address`, or nullptr.
  Simulator* device(uint8_t address);
  size_t size() const { return devices_.size(); }

 private:
  std::vector<std::unique_ptr<Simulator>> devices_;
};

// The peer of a line: the device itself when it is alone on it, a Bus otherwise.
std::unique_ptr<klx::Peer> make_line(std::vector<LineDevice> devices);

}  // namespace sim
