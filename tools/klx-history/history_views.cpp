#include "history_views.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "acquisition/record.h"
#include "record_fields.h"

namespace history_views {
namespace {

bool as_record(const RoundRow& r, korvantis_419_Data_t& rec) {
  if (r.record.size() != sizeof rec) return false;
  std::memcpy(static_cast<void*>(&rec), r.record.data(), sizeof rec);
  return true;
}

std::string v(const le_f32& f) { return record_fields::float_text(f.get()); }

// "AC1 230.1/229.4/231.2 V 50 Hz  AC2 ...  RC 53.5 V 6 modules 60.9 A  DC 53.5 V 58.9 A"
std::string summary(const korvantis_419_Data_t& d) {
  std::ostringstream s;
  const unsigned lines = std::min<unsigned>(d.ac.channel_count, AC_CHANNEL_MAX);
  for (unsigned i = 0; i < lines; ++i) {
    const auto& l = d.acChannel[i];
    s << "AC" << i + 1 << " " << v(l.a) << "/" << v(l.b) << "/" << v(l.c) << " V " << v(l.f)
      << " Hz  ";
  }
  s << "RC " << v(d.rc_voltage) << " V " << unsigned(d.rc_channel_count) << " modules "
    << record_fields::rectifier_current_text(d) << " A  DC " << v(d.dc.voltage) << " V "
    << v(d.dc.current) << " A";
  return s.str();
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
  korvantis_419_Data_t rec;
  if (as_record(r, rec))
    s << summary(rec);
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
