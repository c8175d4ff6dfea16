#pragma once

#include "klx/spdevice.h"

// YD/T 1363.3 command/response layer: frames commands, assembles answers from the byte stream
// and hands every good answer to the device's process_payload through rx_buf_.
class KLX_API PMBusProtocol : public KLXSPDevice {
 public:
  PMBusProtocol();
  ~PMBusProtocol() override;

  int InitSetting(const Json::Value& settings) override;
  int process(unsigned char* bytes, unsigned int length) override;
  virtual int process_payload() = 0;                                                 // slot 32
  virtual int process_error();                                                       // slot 33

  int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
  int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* data,
                      int length);

  // The answer in hand: byte 0 VER, 1 ADR, 2 CID1, 3 RTN, 4-5 LENID (little-endian, in
  // characters), info bytes from byte 6.
  unsigned char* rx_buf_ = nullptr;
  int32_t cmd_state_ = 0;
  uint8_t protocol_ver_ = 0x20;
  uint8_t address_ = 1;
};
