#pragma once

// Where one device's host calls go in the runner: the trace, the alarm state (raise and clear
// transitions logged to standard error) and the device's hub, which stores and exports them.

#include <map>
#include <ostream>
#include <string>

#include "capture.h"
#include "hub.h"
#include "klx/events.h"
#include "klx/frame.h"
#include "klx/store.h"
#include "line_health.h"
#include "trace.h"

namespace klxhost {

struct Services {
  Trace* trace = nullptr;
  DeviceHub* hub = nullptr;      // the device's records, alarms and rounds go on from here
  klx::HistoryDb* db = nullptr;  // may be null: no --db (restored alarms, reports)
  Capture* capture = nullptr;    // may be null: no --capture
};

class HostEvents : public klx::DeviceEvents {
 public:
  HostEvents(Services services, std::map<std::string, klx::ValueLimit> limits);

  void on_command(KLXVDevice& dev, uint8_t cid1, uint8_t cid2, const uint8_t* data,
                  size_t length) override;
  void on_publish(KLXVDevice& dev, int sp_id, const uint8_t* record, size_t length) override;
  void on_history(KLXVDevice& dev, const uint8_t* record, size_t length) override;
  void on_check(KLXVDevice& dev, const std::string& id, const std::string& name, float value,
                int count) override;
  bool on_batch(KLXVDevice& dev, const std::vector<rule_value>& rules) override;
  void on_report(KLXVDevice& dev, const std::string& id, float value) override;
  void on_exchange(KLXVDevice& dev, int cid1, int cid2, const klx::Frame* answer) override;

  const klx::AlarmBook& alarms() const { return alarms_; }
  // The line's health as this device sees it; its events go the alarms' way.
  void set_line_health(const LineHealthSettings& s) { health_.configure(s); }
  const LineHealth& line_health() const { return health_; }

 private:
  void log_transitions(uint32_t data_id, const std::vector<klx::AlarmTransition>& ts);
  // Before the first evaluation: the alarms that were active when the database was last written.
  void restore_alarms(uint32_t data_id);
  // Classifies the exchange that just ended from the counters it moved.
  void note_health(KLXVDevice& dev, const klx::Frame* answer);
  // Store failures are reported once per new reason, not once per round.
  void warn(const std::string& what, const std::string& error);

  Services s_;
  std::map<std::string, klx::ValueLimit> limits_;
  klx::AlarmBook alarms_;
  std::map<std::string, std::string> last_warning_;
  bool restored_ = false;
  LineHealth health_;
  ExchangeCounts seen_;  // the counters at the end of the previous exchange
};

// At the end of a run: writes what the database still has waiting, then prints what the trace,
// the cache and the database stored and lost. False when anything was lost.
bool report_storage(std::ostream& out, const Trace& trace, const klx::RecordCache& cache,
                    klx::HistoryDb* db);

}  // namespace klxhost
