#include "ports.h"

#include <cstdlib>

#include "klx/replay.h"

#ifdef KLX_HAVE_SIM
#include "sim/bus.h"
#include "sim/simulator.h"
#endif

namespace klxhost {
namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

#ifdef KLX_HAVE_SIM
// The devices the simulator plays: a model file's own list, or its one model (the built-in one
// without a file) at every configured address.
std::vector<sim::LineDevice> line_devices(const std::string& model,
                                          const std::vector<uint8_t>& addresses) {
  std::vector<sim::LineDevice> devices;
  if (!model.empty()) devices = sim::load_line_file(model, addresses.front());
  const bool one_model = model.empty() || (devices.size() == 1 && !addresses.empty() &&
                                           devices[0].address == addresses.front());
  if (!one_model) return devices;
  sim::Model m = model.empty() ? sim::default_model() : devices[0].model;
  devices.clear();
  for (uint8_t a : addresses) devices.push_back({a, m});
  return devices;
}
#endif

std::unique_ptr<klx::Transport> simulator(const std::string& model,
                                          const std::vector<uint8_t>& addresses) {
#ifdef KLX_HAVE_SIM
  try {
    auto peer = sim::make_line(line_devices(model, addresses));
    return klx::make_peer_transport(std::move(peer),
                                    model.empty() ? "simulator" : "simulator " + model);
  } catch (const std::exception& e) {
    throw PortError(std::string("simulator: ") + e.what());
  }
#else
  (void)model;
  (void)addresses;
  throw PortError("port sim: this klx-host was built without the simulator");
#endif
}

std::unique_ptr<klx::Transport> replay(const std::string& file) {
  try {
    return klx::make_peer_transport(klx::ReplayPeer::from_file(file), "replay " + file);
  } catch (const std::exception& e) {
    throw PortError(std::string("replay: ") + e.what());
  }
}

std::unique_ptr<klx::Transport> tcp(const std::string& port_name) {
  const std::string rest = port_name.substr(4);
  const auto colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
    throw PortError(port_name + ": expected tcp:HOST:PORT");
  std::string host = rest.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const std::string port = rest.substr(colon + 1);
  char* end = nullptr;
  const long n = std::strtol(port.c_str(), &end, 10);
  if (*end != '\0' || n < 1 || n > 65535) throw PortError(port_name + ": bad TCP port " + port);
  return klx::make_tcp_transport(host, static_cast<uint16_t>(n));
}

}  // namespace

std::unique_ptr<klx::Transport> make_port(const std::string& port_name,
                                          const std::vector<uint8_t>& addresses, int baud,
                                          bool rs485) {
  if (port_name == "sim") return simulator("", addresses);
  if (starts_with(port_name, "sim:")) return simulator(port_name.substr(4), addresses);
  if (starts_with(port_name, "replay:")) return replay(port_name.substr(7));
  if (starts_with(port_name, "tcp:")) return tcp(port_name);
  if (port_name.empty()) throw PortError("empty port name");
  return klx::make_serial_transport(port_name, baud, rs485);
}

}  // namespace klxhost
