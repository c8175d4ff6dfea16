#pragma once

// What the runner tells the services that carry a site's state off the machine (an MQTT broker,
// the HTTP endpoint): completed rounds, alarm transitions, line state and the loop's passes.
// The poll loop calls these: a sink copies what it needs and returns at once; it never waits on
// its peer (the network side runs on the sink's own thread, with bounded queues).

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "klx/site_model.h"
#include "klx/store.h"

namespace klxhost {

// One device's round that completed. `record` is the published record (may be empty when the
// device published none); `time` is the wall clock when the round completed.
struct RoundEvent {
  uint32_t data_id = 0;
  std::string label;  // "data_id 7"
  unsigned round = 0;
  std::time_t time = 0;
  const std::vector<uint8_t>* record = nullptr;
  std::chrono::duration<double> duration{0};  // since the device's previous round (or start)
  // The device's site model after this round: what every export reads instead of the record.
  const klx::DeviceModel* model = nullptr;
};

// A raise or a clear, as the alarm book decided it.
struct AlarmEvent {
  uint32_t data_id = 0;
  std::time_t time = 0;
  const klx::AlarmTransition* transition = nullptr;
};

// A line opened or was lost; `why` says what failed (empty when it opened).
struct LineEvent {
  uint32_t data_id = 0;
  bool up = false;
  std::string describe;
  std::string why;
};

class ExportSink {
 public:
  virtual ~ExportSink() = default;
  virtual void round_completed(const RoundEvent&) {}
  virtual void alarm_changed(const AlarmEvent&) {}
  // An alarm active before a restart, restored from the database: no transition, the same state.
  virtual void alarm_restored(const AlarmEvent&) {}
  virtual void line_changed(const LineEvent&) {}
  // Every pass of the poll loop (at least every 100 ms while polling).
  virtual void loop_pass(std::chrono::steady_clock::time_point) {}
  // The runner is about to stop (SIGTERM, SIGINT or its rounds are done).
  virtual void stopping() {}
  // A sink whose library does its own I/O in the poll thread (net-snmp): before each wait it adds
  // the descriptors it needs and may shorten the wait; after it, it is handed every descriptor
  // with its revents (also when the wait timed out) and does its work without blocking.
  virtual void want_descriptors(std::vector<pollfd>&, std::chrono::nanoseconds& /*max_wait*/) {}
  virtual void descriptors_ready(const std::vector<pollfd>&) {}
};

}  // namespace klxhost
