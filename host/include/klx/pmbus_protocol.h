#pragma once

// Mirrors the closed host's interface (the protocol base PMBusProtocol the device polls through).
// The plug-in is built against it: names, types, layouts and the order of virtual operations stay
// as they are.

#include <memory>

#include "klx/spdevice.h"

namespace klx {
struct FrameCounters;
struct ProtocolCounters {
  uint64_t answers = 0;     // good answers handed to process_payload
  uint64_t rtn_errors = 0;  // answers with a non-zero RTN
  uint64_t bad_frames = 0;  // frames rejected while an answer was awaited
  uint64_t timeouts = 0;
  uint64_t unsolicited = 0;  // frames or errors while no answer was awaited
  uint8_t last_rtn = 0;
  uint64_t wrong_group = 0;       // answers of another group than the command's, dropped
  uint64_t commands = 0;          // commands this device sent
  uint64_t rtn_by_code[8] = {};   // non-zero RTNs by code 1 to 7; [0] counts any other code
  uint16_t last_rtn_command = 0;  // CID1 << 8 | CID2 of the command the last one answered
};
}  // namespace klx

// YD/T 1363.3 command/response layer: frames commands, assembles answers from the byte stream
// and hands every good answer to the device's process_payload through rx_buf_.
class KLX_API PMBusProtocol : public KLXSPDevice {
 public:
  PMBusProtocol();
  ~PMBusProtocol() override;

  int InitSetting(const Json::Value& settings) override;
  int process(unsigned char* bytes, unsigned int length) override;
  virtual int process_payload() = 0;  // slot 32
  virtual int process_error();        // slot 33

  int write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
  int write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* data,
                      int length);

  // Host side, called by the poll loop. Reads what the line has brought and feeds it to
  // process(); returns the number of bytes, or -1 when the line was lost (the exchange awaiting
  // an answer then ends through process_error).
  long service_input();
  // Ends an exchange whose answer did not come in time through process_error; true if it did.
  bool service_timeout();
  const klx::ProtocolCounters& protocol_counters() const;
  const klx::FrameCounters& frame_counters() const;

  // The answer in hand: byte 0 VER, 1 ADR, 2 CID1, 3 RTN, 4-5 LENID (little-endian, in
  // characters), info bytes from byte 6.
  unsigned char* rx_buf_ = nullptr;
  int32_t cmd_state_ = 0;
  uint8_t protocol_ver_ = 0x20;
  uint8_t address_ = 1;

 private:
  void track_frame();

  struct Exchange;  // the frame parser and the answer buffer of this device
  std::unique_ptr<Exchange> exchange_;
};
