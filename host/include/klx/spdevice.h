#pragma once

// Mirrors the closed host's interface (the serial-device base KLXSPDevice and its line settings).
// The plug-in is built against it: names, types, layouts and the order of virtual operations stay
// as they are.

#include "klx/vdevice.h"

enum EnumParity { PARITY_NONE = 0, PARITY_ODD, PARITY_EVEN, PARITY_MARK, PARITY_SPACE };

namespace klx {
class Link;
}

// The host's controller object; devices only hold a weak reference to it.
class KLX_API KLXController {
 public:
  virtual ~KLXController();
};

// A device on a serial port: the port, the exchange in progress and the poll tick.
class KLX_API KLXSPDevice : public KLXVDevice {
 public:
  KLXSPDevice();
  ~KLXSPDevice() override;

  int Reset() override;
  int Init(std::weak_ptr<KLXController> controller, unsigned int data_id,
           const Json::Value& cfg) override;

  virtual int RefreshStatus();                                                       // slot 24
  virtual int process(unsigned char* bytes, unsigned int length) = 0;                // slot 25
  virtual bool IsProcessing();                                                       // slot 26
  virtual bool IsStalled();                                                          // slot 27
  virtual int SendData(const unsigned char* data, unsigned int length);              // slot 28
  virtual int SendParityData(const unsigned char* data, unsigned int length,
                             EnumParity parity);                                     // slot 29
  virtual int OpenPort();                                                            // slot 30
  virtual int ClosePort();                                                           // slot 31

  // Host side: the link this device's port talks through (owned by the caller).
  void set_link(klx::Link* link) { link_ = link; }
  klx::Link* link() const { return link_; }

  int32_t request_code_ = 0;
  uint8_t sp_flag_ = 0;
  int32_t baud_rate_ = 9600;

 private:
  klx::Link* link_ = nullptr;
};
