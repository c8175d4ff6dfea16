#include "history_reader.h"

#include <sqlite3.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <limits>
#include <stdexcept>

namespace {

// Owns one prepared statement for the length of a query.
struct Statement {
  sqlite3_stmt* st = nullptr;
  Statement(sqlite3* db, const char* sql, const std::string& path) {
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
      throw std::runtime_error(path + ": not a history database (" + sqlite3_errmsg(db) + ")");
  }
  ~Statement() { sqlite3_finalize(st); }
  void bind_range(const HistoryRange& r) {
    sqlite3_bind_int64(st, 1, r.from);
    sqlite3_bind_int64(st, 2, r.to);
    sqlite3_bind_int64(st, 3, r.data_id);
  }
  // The next row; false at the end. A failed query (a corrupt page, an I/O error) throws: an
  // answer cut short must not pass for a complete one.
  bool next(sqlite3* db, const std::string& path) {
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw std::runtime_error(path + ": " + sqlite3_errmsg(db));
  }
  std::string text(int col) const {
    const auto* p = sqlite3_column_text(st, col);
    return p ? reinterpret_cast<const char*>(p) : "";
  }
};

// Rounds are read a page at a time, each page in its own short read transaction: a reader whose
// output goes to a pager that waits for a person holds nothing open in the database meanwhile.
constexpr int kPage = 256;
const char* const kRounds =
    "SELECT id, time, data_id, record FROM history WHERE time >= ?1 AND time <= ?2 "
    "AND (?3 < 0 OR data_id = ?3) AND (time > ?4 OR (time = ?4 AND id > ?5)) "
    "ORDER BY time, id LIMIT ?6";
const char* const kAlarms =
    "SELECT id, time, data_id, event, level, key, alarm_id, text1, text2 FROM alarm_events "
    "WHERE time >= ?1 AND time <= ?2 AND (?3 < 0 OR data_id = ?3) ORDER BY time, id";

}  // namespace

HistoryReader::HistoryReader(const std::string& path) : path_(path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "cannot open";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error(path + ": " + why);
  }
  sqlite3_busy_timeout(db_, 1000);  // the runner may be writing to it
}

HistoryReader::~HistoryReader() { sqlite3_close(db_); }

void HistoryReader::each_round(const HistoryRange& r,
                               const std::function<void(const RoundRow&)>& fn) {
  Statement s(db_, kRounds, path_);
  s.bind_range(r);
  sqlite3_bind_int(s.st, 6, kPage);
  std::vector<RoundRow> page;
  int64_t after_time = std::numeric_limits<int64_t>::min(), after_id = after_time;
  do {
    page.clear();
    sqlite3_bind_int64(s.st, 4, after_time);
    sqlite3_bind_int64(s.st, 5, after_id);
    while (s.next(db_, path_)) {
      RoundRow row;
      row.id = sqlite3_column_int64(s.st, 0);
      row.time = sqlite3_column_int64(s.st, 1);
      row.data_id = static_cast<uint32_t>(sqlite3_column_int64(s.st, 2));
      const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s.st, 3));
      if (p) row.record.assign(p, p + sqlite3_column_bytes(s.st, 3));
      page.push_back(std::move(row));
    }
    sqlite3_reset(s.st);  // ends the read transaction before the page is printed
    for (const RoundRow& row : page) fn(row);
    if (!page.empty()) after_time = page.back().time, after_id = page.back().id;
  } while (page.size() == static_cast<size_t>(kPage));
}

std::vector<AlarmRow> HistoryReader::alarms(const HistoryRange& r) {
  Statement s(db_, kAlarms, path_);
  s.bind_range(r);
  std::vector<AlarmRow> out;
  while (s.next(db_, path_)) {
    AlarmRow a;
    a.id = sqlite3_column_int64(s.st, 0);
    a.time = sqlite3_column_int64(s.st, 1);
    a.data_id = static_cast<uint32_t>(sqlite3_column_int64(s.st, 2));
    a.event = s.text(3);
    a.level = sqlite3_column_int(s.st, 4);
    a.key = s.text(5);
    a.alarm_id = s.text(6);
    a.text1 = s.text(7);
    a.text2 = s.text(8);
    out.push_back(std::move(a));
  }
  return out;
}

int64_t parse_time_arg(const std::string& text, bool end_of_day) {
  bool digits = !text.empty();
  for (char c : text) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  if (digits && text.size() <= 18) return std::stoll(text);
  std::tm tm{};
  char sep = ' ', tail = 0;
  const int n = std::sscanf(text.c_str(), "%d-%d-%d%c%d:%d:%d%c", &tm.tm_year, &tm.tm_mon,
                            &tm.tm_mday, &sep, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &tail);
  const bool ok = (n == 3 || n == 6 || n == 7) && (n == 3 || sep == ' ' || sep == 'T');
  if (!ok || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31)
    throw std::runtime_error("not a time: \"" + text +
                             "\" (epoch seconds, or YYYY-MM-DD [HH:MM[:SS]] local time)");
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  // A day as the end of a range includes that day: up to the last second before the next one.
  if (n == 3 && end_of_day) {
    tm.tm_mday += 1;
    return static_cast<int64_t>(std::mktime(&tm)) - 1;
  }
  return static_cast<int64_t>(std::mktime(&tm));
}

std::string local_time_text(int64_t epoch) {
  const std::time_t t = static_cast<std::time_t>(epoch);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tm);
  return buf;
}
