#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "klx/api.h"
#include "klx/rule_value.h"

class KLXVDevice;

namespace klx {

struct Frame;

// Where a device's host calls end up: the runner's store and alarm log, a trace file, or a test
// recorder. Every method has a neutral default, so a sink overrides only what it wants.
class KLX_API DeviceEvents {
 public:
  virtual ~DeviceEvents();
  virtual void on_command(KLXVDevice& dev, uint8_t cid1, uint8_t cid2, const uint8_t* data,
                          size_t length);
  virtual void on_publish(KLXVDevice& dev, int sp_id, const uint8_t* record, size_t length);
  virtual void on_history(KLXVDevice& dev, const uint8_t* record, size_t length);
  virtual void on_check(KLXVDevice& dev, const std::string& id, const std::string& name,
                        float value, int count);
  // Returns the batch's truth value for DoBatchCheckThreshold.
  virtual bool on_batch(KLXVDevice& dev, const std::vector<rule_value>& rules);
  virtual void on_report(KLXVDevice& dev, const std::string& id, float value);
  virtual void on_open_port(KLXVDevice& dev);
  // An exchange ended: `answer` is the frame taken as the answer to the command (cid1, cid2),
  // whatever its RTN; null when none came in time or it was malformed.
  virtual void on_exchange(KLXVDevice& dev, int cid1, int cid2, const Frame* answer);
  // A control request that reached the host's own DeviceIoControl; returns its result.
  virtual int on_ioctl(KLXVDevice& dev, int code, int in_len, int out_cap);
};

}  // namespace klx
