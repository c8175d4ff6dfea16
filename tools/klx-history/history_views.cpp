#include "history_views.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "acquisition/record.h"
#include "klx/site_model.h"
#include "record_fields.h"

namespace history_views {
namespace {

bool as_record(const RoundRow& r, korvantis_419_Data_t& rec) {
  if (r.record.size() != sizeof rec) return false;
  std::memcpy(static_cast<void*>(&rec), r.record.data(), sizeof rec);
  return true;
}

// The history holds records without the configuration that polled them: everything a record
// can hold is taken as built, and the model decides the second panel as for a live device.
klx::DeviceLayout all_built() {
  klx::DeviceLayout l;
  l.has_dc = true;
  return l;
}

std::string csv_cell(korvantis_419_Data_t& rec, const std::string& field) {
  std::string text;
  record_fields::field_text(rec, field, text);
  const bool gap = text == "invalid" || text == "nan" || text == "inf" || text == "-inf";
  return gap ? "" : text;
}

void check_fields(const std::vector<std::string>& fields) {
  const auto known = record_fields::field_paths();
  for (const auto& f : fields)
    if (std::find(known.begin(), known.end(), f) == known.end())
      throw std::runtime_error("the record has no field \"" + f +
                               "\"; fields are named as in klx-record --table "
                               "(dc.voltage, acChannel[0].a, rcChannel[2].current, ...)");
}

}  // namespace

std::string round_line(const RoundRow& r) {
  std::ostringstream s;
  s << local_time_text(r.time) << "  round  #" << r.id << "  data_id " << r.data_id << "  ";
  if (r.record.size() == sizeof(korvantis_419_Data_t))
    s << klx::plant_summary(klx::read_plant(r.record, all_built()));
  else
    s << "(a block of " << r.record.size() << " bytes, not a record)";
  return s.str();
}

std::string alarm_line(const AlarmRow& a) {
  std::ostringstream s;
  s << local_time_text(a.time) << "  " << a.event << "  data_id " << a.data_id << "  level "
    << a.level << "  " << a.alarm_id;
  if (a.key != a.alarm_id) s << " (" << a.key << ")";
  s << "  " << a.text1 << " " << a.text2;
  return s.str();
}

void list(HistoryReader& db, const HistoryRange& range, bool with_alarms, std::ostream& out) {
  const std::vector<AlarmRow> alarms = with_alarms ? db.alarms(range) : std::vector<AlarmRow>{};
  size_t next = 0;
  db.each_round(range, [&](const RoundRow& r) {
    for (; next < alarms.size() && alarms[next].time < r.time; ++next)
      out << alarm_line(alarms[next]) << "\n";
    out << round_line(r) << "\n";
  });
  for (; next < alarms.size(); ++next) out << alarm_line(alarms[next]) << "\n";
}

void csv(HistoryReader& db, const HistoryRange& range, const std::vector<std::string>& fields,
         std::ostream& out, std::ostream& warnings) {
  check_fields(fields);
  out << "time,epoch,data_id";
  for (const auto& f : fields) out << "," << f;
  out << "\n";
  db.each_round(range, [&](const RoundRow& r) {
    korvantis_419_Data_t rec;
    if (!as_record(r, rec)) {
      warnings << "klx-history: row " << r.id << " holds " << r.record.size()
               << " bytes, not a record; skipped\n";
      return;
    }
    out << local_time_text(r.time) << "," << r.time << "," << r.data_id;
    for (const auto& f : fields) out << "," << csv_cell(rec, f);
    out << "\n";
  });
}

}  // namespace history_views
