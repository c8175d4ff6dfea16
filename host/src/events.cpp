#include "klx/events.h"

namespace klx {

DeviceEvents::~DeviceEvents() = default;
void DeviceEvents::on_command(KLXVDevice&, uint8_t, uint8_t, const uint8_t*, size_t) {}
void DeviceEvents::on_publish(KLXVDevice&, int, const uint8_t*, size_t) {}
void DeviceEvents::on_history(KLXVDevice&, const uint8_t*, size_t) {}
void DeviceEvents::on_check(KLXVDevice&, const std::string&, const std::string&, float, int) {}
bool DeviceEvents::on_batch(KLXVDevice&, const std::vector<rule_value>&) { return true; }
void DeviceEvents::on_report(KLXVDevice&, const std::string&, float) {}
void DeviceEvents::on_open_port(KLXVDevice&) {}
void DeviceEvents::on_exchange(KLXVDevice&, int, int, const Frame*) {}
int DeviceEvents::on_ioctl(KLXVDevice&, int, int, int) { return 0; }

}  // namespace klx

#include "klx/peer.h"

klx::Peer::~Peer() = default;
