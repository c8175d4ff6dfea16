#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "history_reader.h"

// What klx-history prints: a line per round (the values a person looks at first), a line per
// alarm transition, and CSV rows of chosen record fields.
namespace history_views {

std::string round_line(const RoundRow& r);
std::string alarm_line(const AlarmRow& a);

// Rounds, with the alarm transitions merged in by time when `alarms` is not empty (a round goes
// before the transitions stamped with the same second, which its batch produced).
void list(HistoryReader& db, const HistoryRange& range, bool with_alarms, std::ostream& out);

// "time,epoch,data_id,<field>..." then one row per round; an invalid or non-finite value is an
// empty cell, so plots show a gap. Throws std::runtime_error for a field the record lacks.
void csv(HistoryReader& db, const HistoryRange& range, const std::vector<std::string>& fields,
         std::ostream& out, std::ostream& warnings);

}  // namespace history_views
