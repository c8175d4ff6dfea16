#include "sim/bus.h"

#include <stdexcept>
#include <string>

namespace sim {

Bus::Bus(std::vector<LineDevice> devices, Clock clock) {
  for (LineDevice& d : devices) {
    if (device(d.address))
      throw std::runtime_error("address " + std::to_string(d.address) + " is served twice");
    devices_.push_back(std::make_unique<Simulator>(std::move(d.model), d.address, clock));
  }
}

// The host writes one frame per call, so at most one device answers it and the answers keep the
// order of the commands. Every device hears every frame: its time line starts with the line's
// first command, as a bus's devices all power up together.
std::vector<klx::TimedChunk> Bus::respond(const std::vector<uint8_t>& written) {
  std::vector<klx::TimedChunk> out;
  for (auto& d : devices_) {
    auto answer = d->respond(written);
    out.insert(out.end(), std::make_move_iterator(answer.begin()),
               std::make_move_iterator(answer.end()));
  }
  return out;
}

Simulator* Bus::device(uint8_t address) {
  for (auto& d : devices_)
    if (d->address() == address) return d.get();
  return nullptr;
}

std::unique_ptr<klx::Peer> make_line(std::vector<LineDevice> devices) {
  if (devices.size() == 1)
    return std::make_unique<Simulator>(std::move(devices[0].model), devices[0].address);
  return std::make_unique<Bus>(std::move(devices));
}

}  // namespace sim
