#include "hub.h"

namespace klxhost {

DeviceHub::DeviceHub(uint32_t data_id, klx::DeviceLayout layout, HubOutputs out)
    : out_(out), label_("data_id " + std::to_string(data_id)) {
  model_.data_id = data_id;
  model_.layout = layout;
}

void DeviceHub::watch(const std::string& port, CounterSources sources) {
  model_.port = port;
  sources_ = sources;
}

bool DeviceHub::published(int sp_id, const uint8_t* record, size_t length) {
  record_.assign(record, record + length);
  return !out_.cache || out_.cache->put(model_.data_id, sp_id, record, length);
}

bool DeviceHub::history(std::time_t now, const uint8_t* record, size_t length) {
  return !out_.db || out_.db->save_record(model_.data_id, now, record, length);
}

bool DeviceHub::alarms_changed(std::time_t now, const std::vector<klx::AlarmTransition>& ts) {
  bool stored = true;
  for (const klx::AlarmTransition& t : ts) {
    if (t.raised)
      alarms_[t.key] = klx::ActiveAlarm{t.key, t.alarm_id, t.level, t.text1, t.text2, now};
    else
      alarms_.erase(t.key);
    if (out_.db && !out_.db->save_alarm(model_.data_id, now, t)) stored = false;
    if (out_.sinks)
      for (ExportSink* sink : *out_.sinks) sink->alarm_changed({model_.data_id, now, &t});
  }
  if (!ts.empty()) list_alarms();
  return stored;
}

void DeviceHub::alarms_restored(std::time_t now, const std::vector<klx::AlarmTransition>& active) {
  for (const klx::AlarmTransition& t : active) {
    alarms_[t.key] = klx::ActiveAlarm{t.key, t.alarm_id, t.level, t.text1, t.text2, now};
    if (out_.sinks)
      for (ExportSink* sink : *out_.sinks) sink->alarm_restored({model_.data_id, now, &t});
  }
  if (!active.empty()) list_alarms();
}

void DeviceHub::list_alarms() {
  model_.alarms.clear();
  for (const auto& entry : alarms_) model_.alarms.push_back(entry.second);
}

void DeviceHub::line_changed(bool up, const std::string& describe, const std::string& why) {
  model_.port = describe;
  model_.fresh.line_up = up;
  model_.fresh.line_error = why;
  if (!out_.sinks) return;
  const LineEvent e{model_.data_id, up, describe, why};
  for (ExportSink* sink : *out_.sinks) sink->line_changed(e);
}

const klx::DeviceModel& DeviceHub::round_completed(unsigned round, std::time_t now,
                                                   std::chrono::duration<double> since_previous) {
  model_.plant = klx::read_plant(record_, model_.layout);
  model_.fresh.rounds = round;
  model_.fresh.last_round = now;
  copy_counters();
  if (!out_.sinks || out_.sinks->empty()) return model_;
  RoundEvent e;
  e.data_id = model_.data_id;
  e.label = label_;
  e.round = round;
  e.time = now;
  e.record = &record_;
  e.duration = since_previous;
  e.model = &model_;
  for (ExportSink* sink : *out_.sinks) sink->round_completed(e);
  return model_;
}

void DeviceHub::copy_counters() {
  if (sources_.protocol) model_.counters.protocol = *sources_.protocol;
  if (sources_.frames) model_.counters.frames = *sources_.frames;
  if (sources_.link) model_.counters.link = *sources_.link;
}

}  // namespace klxhost
