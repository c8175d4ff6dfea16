#pragma once

// Port names of the runner:
//   sim, sim:MODEL.json   the built-in power-system simulator in this process
//   replay:FILE           scripted answers (see klx/replay.h)
//   tcp:HOST:PORT         a serial device server ([v6-address] in brackets)
//   anything else         a serial device path, opened raw at the device's speed

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "klx/transport.h"

namespace klxhost {

struct PortError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The line for a port name, shared by the devices at `addresses` (the in-process simulator serves
// each of them); throws PortError for a name, model or script that cannot be used.
std::unique_ptr<klx::Transport> make_port(const std::string& port_name,
                                          const std::vector<uint8_t>& addresses, int baud,
                                          bool rs485);

}  // namespace klxhost
