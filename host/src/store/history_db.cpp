#include <sqlite3.h>

#include <cmath>

#include "klx/store.h"

namespace klx {
namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS history (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time INTEGER NOT NULL,
  record BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS history_by_device ON history (data_id, time);
CREATE TABLE IF NOT EXISTS alarm_events (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time INTEGER NOT NULL,
  event TEXT NOT NULL CHECK (event IN ('raise', 'clear')),
  level INTEGER NOT NULL,
  key TEXT NOT NULL,
  alarm_id TEXT NOT NULL,
  text1 TEXT NOT NULL,
  text2 TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS reports (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time INTEGER NOT NULL,
  signal_id TEXT NOT NULL,
  value REAL
);
)sql";

void bind_text(sqlite3_stmt* st, int at, const std::string& s) {
  sqlite3_bind_text(st, at, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

}  // namespace

std::unique_ptr<HistoryDb> HistoryDb::open(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open");
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<HistoryDb> h(new HistoryDb(db));
  sqlite3_busy_timeout(db, 1000);
  if (!h->prepare(error)) {
    error = path + ": " + error;
    return nullptr;
  }
  return h;
}

HistoryDb::HistoryDb(sqlite3* db) : db_(db) {}

HistoryDb::~HistoryDb() {
  sqlite3_finalize(insert_record_);
  sqlite3_finalize(insert_alarm_);
  sqlite3_finalize(insert_report_);
  sqlite3_close(db_);
}

bool HistoryDb::prepare(std::string& error) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, kSchema, nullptr, nullptr, &msg) != SQLITE_OK) {
    error = msg ? msg : "cannot create the tables";
    sqlite3_free(msg);
    return false;
  }
  const struct {
    sqlite3_stmt** st;
    const char* sql;
  } statements[] = {
      {&insert_record_, "INSERT INTO history (data_id, time, record) VALUES (?, ?, ?)"},
      {&insert_alarm_,
       "INSERT INTO alarm_events (data_id, time, event, level, key, alarm_id, text1, text2) "
       "VALUES (?, ?, ?, ?, ?, ?, ?, ?)"},
      {&insert_report_,
       "INSERT INTO reports (data_id, time, signal_id, value) VALUES (?, ?, ?, ?)"},
  };
  for (const auto& s : statements) {
    if (sqlite3_prepare_v2(db_, s.sql, -1, s.st, nullptr) != SQLITE_OK) {
      error = sqlite3_errmsg(db_);
      return false;
    }
  }
  return true;
}

bool HistoryDb::step(sqlite3_stmt* st) {
  const int rc = sqlite3_step(st);
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  if (rc == SQLITE_DONE) return true;
  last_error_ = sqlite3_errmsg(db_);
  return false;
}

bool HistoryDb::save_record(uint32_t data_id, int64_t time, const uint8_t* record, size_t n) {
  sqlite3_bind_int64(insert_record_, 1, data_id);
  sqlite3_bind_int64(insert_record_, 2, time);
  sqlite3_bind_blob(insert_record_, 3, record, static_cast<int>(n), SQLITE_TRANSIENT);
  return step(insert_record_);
}

bool HistoryDb::save_alarm(uint32_t data_id, int64_t time, const AlarmTransition& t) {
  sqlite3_bind_int64(insert_alarm_, 1, data_id);
  sqlite3_bind_int64(insert_alarm_, 2, time);
  sqlite3_bind_text(insert_alarm_, 3, t.raised ? "raise" : "clear", -1, SQLITE_STATIC);
  sqlite3_bind_int(insert_alarm_, 4, t.level);
  bind_text(insert_alarm_, 5, t.key);
  bind_text(insert_alarm_, 6, t.alarm_id);
  bind_text(insert_alarm_, 7, t.text1);
  bind_text(insert_alarm_, 8, t.text2);
  return step(insert_alarm_);
}

bool HistoryDb::save_report(uint32_t data_id, int64_t time, const std::string& signal_id,
                            float value) {
  sqlite3_bind_int64(insert_report_, 1, data_id);
  sqlite3_bind_int64(insert_report_, 2, time);
  bind_text(insert_report_, 3, signal_id);
  // SQLite keeps no NaN: a value that is not a number is stored as NULL.
  if (!std::isnan(value))
    sqlite3_bind_double(insert_report_, 4, value);
  else
    sqlite3_bind_null(insert_report_, 4);
  return step(insert_report_);
}

}  // namespace klx
