#include "host_events.h"

#include <ctime>
#include <iostream>

#include "diag_line.h"
#include "json_out.h"
#include "klx/link.h"
#include "klx/pmbus_protocol.h"
#include "klx/vdevice.h"

namespace klxhost {

HostEvents::HostEvents(Services services, std::map<std::string, klx::ValueLimit> limits)
    : s_(services), limits_(std::move(limits)) {}

void HostEvents::on_command(KLXVDevice&, uint8_t cid1, uint8_t cid2, const uint8_t* data,
                            size_t length) {
  s_.trace->cmd(cid1, cid2, data, length);
}

void HostEvents::on_exchange(KLXVDevice& dev, int cid1, int cid2, const klx::Frame* answer) {
  if (s_.capture) s_.capture->exchange(cid1, cid2, answer);
  note_health(dev, answer);
}

void HostEvents::note_health(KLXVDevice& dev, const klx::Frame* answer) {
  auto* proto = dynamic_cast<PMBusProtocol*>(&dev);
  klx::Link* line = proto ? proto->link() : nullptr;
  if (!line) return;
  const ExchangeCounts now_counts{proto->frame_counters(), proto->protocol_counters().timeouts};
  bool echoed = false;
  const ExchangeResult r = classify_exchange(seen_, now_counts, answer != nullptr, echoed);
  seen_ = now_counts;
  const auto now = line->now();
  const double latency =
      answer ? std::chrono::duration<double>(now - line->last_write()).count() : -1.0;
  health_.record(now, r, echoed, latency);
  log_transitions(dev.DataId(), health_.evaluate(now));
}

void HostEvents::on_publish(KLXVDevice&, int sp_id, const uint8_t* record, size_t length) {
  s_.trace->publish(sp_id, record, length);
  if (!s_.hub->published(sp_id, record, length)) warn("cache", s_.hub->cache_error());
}

void HostEvents::on_history(KLXVDevice&, const uint8_t* record, size_t length) {
  s_.trace->history(record, length);
  if (!s_.hub->history(std::time(nullptr), record, length)) warn("history", s_.hub->db_error());
}

// Checked at once against the host's own limits, when it has any for the identifier.
void HostEvents::on_check(KLXVDevice& dev, const std::string& id, const std::string& name,
                          float value, int count) {
  s_.trace->check(id, value);
  restore_alarms(dev.DataId());
  const auto it = limits_.find(id);
  if (it == limits_.end()) return;
  rule_value r;
  r.level = it->second.level;
  r.key = id;
  r.alarm_id = id;
  r.value = (value < it->second.low || value > it->second.high) ? 1.0 : 0.0;
  r.text1 = json_float(value);
  r.text2 = name;
  r.count = count;
  log_transitions(dev.DataId(), alarms_.evaluate(r));
}

bool HostEvents::on_batch(KLXVDevice& dev, const std::vector<rule_value>& rules) {
  s_.trace->batch(rules);
  restore_alarms(dev.DataId());
  log_transitions(dev.DataId(), alarms_.evaluate(rules));
  return true;
}

void HostEvents::on_report(KLXVDevice& dev, const std::string& id, float value) {
  s_.trace->report(id, value);
  if (s_.db && !s_.db->save_report(dev.DataId(), std::time(nullptr), id, value))
    warn("reports", s_.db->last_error());
}

void HostEvents::log_transitions(uint32_t data_id, const std::vector<klx::AlarmTransition>& ts) {
  for (const auto& t : ts)
    DiagLine() << "klx-host: data_id " << data_id << ": alarm " << (t.raised ? "raised" : "cleared")
               << ": level " << t.level << " key " << t.key << " alarm_id " << t.alarm_id
               << " text1 \"" << t.text1 << "\" text2 \"" << t.text2 << "\"\n";
  if (!s_.hub->alarms_changed(std::time(nullptr), ts)) warn("alarm log", s_.hub->db_error());
}

void HostEvents::restore_alarms(uint32_t data_id) {
  if (restored_ || !s_.db) return;
  restored_ = true;
  std::string error;
  const auto active = s_.db->active_alarms(data_id, error);
  if (!error.empty()) warn("alarm state", error);
  for (const auto& t : active) {
    if (is_host_key(t.key))
      health_.restore(t.key);
    else
      alarms_.restore(t.key);
  }
  s_.hub->alarms_restored(std::time(nullptr), active);
  if (!active.empty())
    DiagLine() << "klx-host: data_id " << data_id << ": " << active.size()
               << " active alarms restored from the database\n";
}

bool report_storage(std::ostream& out, const Trace& trace, const klx::RecordCache& cache,
                    klx::HistoryDb* db) {
  size_t lost = trace.lost() + cache.failed_writes();
  if (db) lost += db->finish();
  if (trace.enabled())
    out << "klx-host: trace: " << trace.written() << " lines written, " << trace.lost()
        << " lost\n";
  if (cache.enabled())
    out << "klx-host: cache: " << cache.writes() << " writes, " << cache.failed_writes()
        << " failed\n";
  if (db)
    out << "klx-host: database: " << db->counters().stored << " rows stored, "
        << db->counters().lost << " lost"
        << (db->counters().capped
                ? ", " + std::to_string(db->counters().capped) + " old rows dropped over max_bytes"
                : std::string())
        << "\n";
  return lost == 0;
}

void HostEvents::warn(const std::string& what, const std::string& error) {
  std::string& last = last_warning_[what];
  if (last == error) return;
  last = error;
  DiagLine() << "klx-host: " << what << " not stored: " << error << "\n";
}

}  // namespace klxhost
