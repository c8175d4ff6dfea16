#pragma once

// One device's event hub. The runner's host calls and its poll loop report here what happened
// (a record published, a round completed, an alarm raised or cleared, the line up or down); the
// hub keeps the latest record, builds the device's site model once per completed round, on the
// poll thread, and fans every event out: the record cache, the history database and the export
// sinks. Nothing downstream reads the record back or asks the device.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "export_sink.h"
#include "klx/site_model.h"
#include "klx/store.h"
#include "line_health.h"

namespace klxhost {

// The counters of one device's line, owned by the runner; read on the poll thread only.
struct CounterSources {
  const klx::ProtocolCounters* protocol = nullptr;
  const klx::FrameCounters* frames = nullptr;
  const klx::LinkCounters* link = nullptr;
  const LineHealth* health = nullptr;  // read by the HTTP endpoint's counter copies only
};

// Where a hub's events go; every member may be null (nothing stored, nothing exported).
struct HubOutputs {
  klx::RecordCache* cache = nullptr;
  klx::HistoryDb* db = nullptr;
  const std::vector<ExportSink*>* sinks = nullptr;
};

class DeviceHub {
 public:
  DeviceHub(uint32_t data_id, klx::DeviceLayout layout, HubOutputs out);

  void watch(const std::string& port, CounterSources sources);

  // A record the device published (on_publish). False when the cache refused it.
  bool published(int sp_id, const uint8_t* record, size_t length);
  // A record the device keeps as history (on_history). False when the database refused it.
  bool history(std::time_t now, const uint8_t* record, size_t length);
  // Alarm transitions of one evaluation. False when the database refused one.
  bool alarms_changed(std::time_t now, const std::vector<klx::AlarmTransition>& ts);
  // Alarms active before a restart, restored from the database: the same state, no transition.
  void alarms_restored(std::time_t now, const std::vector<klx::AlarmTransition>& active);
  // The line opened or was lost (`why` empty when it opened).
  void line_changed(bool up, const std::string& describe, const std::string& why);
  // A completed round: the model is built from the latest record and handed to every sink.
  const klx::DeviceModel& round_completed(unsigned round, std::time_t now,
                                          std::chrono::duration<double> since_previous);

  std::string cache_error() const { return out_.cache ? out_.cache->last_error() : std::string(); }
  std::string db_error() const { return out_.db ? out_.db->last_error() : std::string(); }
  uint32_t data_id() const { return model_.data_id; }
  const std::vector<uint8_t>& record() const { return record_; }
  const klx::DeviceModel& model() const { return model_; }

 private:
  void copy_counters();
  void list_alarms();

  HubOutputs out_;
  std::string label_;
  std::vector<uint8_t> record_;
  std::map<std::string, klx::ActiveAlarm> alarms_;  // by key
  CounterSources sources_;
  klx::DeviceModel model_;
};

}  // namespace klxhost
