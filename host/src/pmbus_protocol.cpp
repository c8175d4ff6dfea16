#include "klx/pmbus_protocol.h"

#include "klx/events.h"

PMBusProtocol::PMBusProtocol() = default;
PMBusProtocol::~PMBusProtocol() = default;

int PMBusProtocol::InitSetting(const Json::Value&) { return 1; }

// Placeholder until the frame parser lands: bytes from the port are not assembled yet.
int PMBusProtocol::process(unsigned char*, unsigned int) { return 0; }

int PMBusProtocol::process_error() { return 0; }

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
  return write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

int PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                   const unsigned char* data, int length) {
  if (length < 0 || (length > 0 && !data)) return 0;
  if (events()) events()->on_command(*this, cid1, cid2, data, static_cast<size_t>(length));
  return 1;
}
