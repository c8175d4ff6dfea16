#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "klx/store.h"

namespace klx {
namespace {

// "KLXH": marks the database as ours, so that --db never alters another program's database.
constexpr int kApplicationId = 0x4B4C5848;
// 1: the rounds, alarm events, reports and alarm state. 2: the aggregate tiers, the devices'
// layouts and the alarm outbox, added beside the tables of 1 (an upgrade only adds). An aggregate
// row is up to some 1.1 KB (40 modules): a table with a row id keeps it in one page, where a
// WITHOUT ROWID table would spill each row over a page of its own.
constexpr int kSchemaVersion = 2;
// A write waits this long for another writer; longer would stall the poll loop. Rows that
// still find the database busy wait in the queue for the next write.
constexpr int kBusyMs = 50;
constexpr int kBusyAtOpenMs = 2000;
constexpr int kBusyAtFinishMs = 2000;

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
CREATE TABLE IF NOT EXISTS alarm_state (
  data_id INTEGER NOT NULL,
  key TEXT NOT NULL,
  level INTEGER NOT NULL,
  alarm_id TEXT NOT NULL,
  text1 TEXT NOT NULL,
  text2 TEXT NOT NULL,
  since INTEGER NOT NULL,
  PRIMARY KEY (data_id, key)
);
CREATE TABLE IF NOT EXISTS history_minute (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time INTEGER NOT NULL,
  rounds INTEGER NOT NULL,
  series BLOB NOT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS history_minute_by_device ON history_minute (data_id, time);
CREATE TABLE IF NOT EXISTS history_hour (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time INTEGER NOT NULL,
  rounds INTEGER NOT NULL,
  series BLOB NOT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS history_hour_by_device ON history_hour (data_id, time);
CREATE TABLE IF NOT EXISTS devices (
  data_id INTEGER PRIMARY KEY,
  layout INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS alarm_events_by_device ON alarm_events (data_id, time);
-- AUTOINCREMENT: sqlite_sequence keeps the highest seq ever stored, after its row is gone.
CREATE TABLE IF NOT EXISTS alarm_outbox (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  data_id INTEGER NOT NULL,
  time INTEGER NOT NULL,
  pending INTEGER NOT NULL,
  event TEXT NOT NULL CHECK (event IN ('raise', 'clear')),
  level INTEGER NOT NULL,
  key TEXT NOT NULL,
  alarm_id TEXT NOT NULL,
  text1 TEXT NOT NULL,
  text2 TEXT NOT NULL
);
)sql";

// The tables a database of ours had before it was marked.
bool our_table(const std::string& name) {
  return name == "history" || name == "alarm_events" || name == "reports" ||
         name == "alarm_state" || name == "history_minute" || name == "history_hour" ||
         name == "devices" || name == "alarm_outbox" || name == "sqlite_sequence";
}

bool busy(int rc) {
  rc &= 0xff;
  return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

// What a full disk (or a file-size limit) makes of a write, or of making the -shm file.
bool full(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_FULL || primary == SQLITE_IOERR;
}

// A full disk (or a write the file system refused, as a file-size limit does) may pass: the
// write waits in the queue like a busy one instead of being lost.
bool waits(int rc) { return busy(rc) || full(rc); }

int pragma_int(sqlite3* db, const char* sql, bool& ok) {
  sqlite3_stmt* st = nullptr;
  int v = 0;
  ok = sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW;
  if (ok) v = sqlite3_column_int(st, 0);
  sqlite3_finalize(st);
  return v;
}

// `code`, when given, gets SQLite's result code of a failure.
bool exec(sqlite3* db, const std::string& sql, std::string& error, int* code = nullptr) {
  char* msg = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg);
  if (rc == SQLITE_OK) return true;
  if (code) *code = rc;
  error = msg ? msg : sqlite3_errmsg(db);
  sqlite3_free(msg);
  return false;
}

// Empty: "", ours from before the mark: "", anything else: why it is not ours.
std::string foreign_tables(sqlite3* db, std::string& error) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &st,
                         nullptr) != SQLITE_OK)
    return error = sqlite3_errmsg(db), "";
  std::string foreign;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const auto* p = sqlite3_column_text(st, 0);
    const std::string name = p ? reinterpret_cast<const char*>(p) : "";
    if (!our_table(name)) foreign += (foreign.empty() ? "" : ", ") + name;
  }
  if (rc != SQLITE_DONE) error = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  return foreign;
}

}  // namespace

std::unique_ptr<HistoryDb> HistoryDb::open(const std::string& path, std::string& error,
                                           bool* no_room) {
  // A device or a pipe would be opened and written as if it were a file (a link to a file of
  // ours is fine: SQLite writes the file and keeps its journal beside it).
  struct stat st {};
  const bool found = stat(path.c_str(), &st) == 0;
  if (found && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    error = path + ": exists and is not a regular file";
    return nullptr;
  }
  int code = 0;
  auto h = attach(path, false, error, code);
  if (h || !full(code)) return h;
  // A full disk: the -shm file cannot be made, nor anything written. A database of ours that
  // needs no write to open is still read (its alarm state restored) with the WAL index in memory.
  std::string alone_error;
  if ((h = attach(path, true, alone_error, code))) {
    h->warning_ = "database " + error +
                  " (disk full?): opened for this process alone; klx-history and /api/history "
                  "cannot read it until klx-host starts again, and writes wait until there is room";
    error.clear();
    return h;
  }
  if (no_room) *no_room = full(code) && (!found || st.st_size == 0);
  return nullptr;
}

std::unique_ptr<HistoryDb> HistoryDb::attach(const std::string& path, bool alone,
                                             std::string& error, int& code) {
  error.clear();  // claim() takes a text left in it for a failure
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if ((code = sqlite3_open_v2(path.c_str(), &db, flags, nullptr)) != SQLITE_OK) {
    error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open");
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<HistoryDb> h(new HistoryDb(db));
  sqlite3_busy_timeout(db, kBusyAtOpenMs);
  code = 0;
  if ((alone && !exec(db, "PRAGMA locking_mode = EXCLUSIVE", error, &h->failed_code_)) ||
      !h->claim(error) || !h->prepare(error)) {
    code = h->failed_code_ ? h->failed_code_ : sqlite3_extended_errcode(db);
    error = path + ": " + error;
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyMs);
  return h;
}

HistoryDb::HistoryDb(sqlite3* db) : db_(db) {}

HistoryDb::~HistoryDb() {
  for (sqlite3_stmt* st : {insert_record_, insert_alarm_, insert_report_, set_state_, clear_state_})
    sqlite3_finalize(st);
  sqlite3_close(db_);
}

// Refuses a database of another program before anything in it is changed; marks a new one, and
// one of ours from before the mark. WAL lets readers (klx-history in a pager) hold a statement
// open while rows are written; NORMAL synchronous loses at most the last rows at a power cut,
// never the database.
bool HistoryDb::sql_failed(std::string& error) {
  failed_code_ = sqlite3_extended_errcode(db_);
  error = sqlite3_errmsg(db_);
  return false;
}

bool HistoryDb::claim(std::string& error) {
  if (sqlite3_db_readonly(db_, "main") == 1) return error = "the database is read-only", false;
  bool ok = false;
  const int app = pragma_int(db_, "PRAGMA application_id", ok);
  if (!ok) return sql_failed(error);
  const int version = pragma_int(db_, "PRAGMA user_version", ok);
  if (app != 0 && app != kApplicationId)
    return error = "belongs to another program (application_id " + std::to_string(app) +
                   "); not changed",
           false;
  if (app == kApplicationId && version > kSchemaVersion)
    return error = "written by a newer klx-host (schema " + std::to_string(version) + ")", false;
  if (app == 0) {
    const std::string foreign = foreign_tables(db_, error);
    if (!error.empty()) return sql_failed(error);
    if (!foreign.empty() || version != 0)
      return error = "belongs to another program (tables: " +
                     (foreign.empty() ? std::string("none of ours") : foreign) + "); not changed",
             false;
  }
  // A new database gives freed pages back to the file system as the tiers are pruned; the mode
  // can only be chosen before its first table.
  bool empty = false;
  if (app == 0 && version == 0) {
    bool counted = false;
    empty = pragma_int(db_, "SELECT count(*) FROM sqlite_master", counted) == 0 && counted;
  }
  if (empty && !exec(db_, "PRAGMA auto_vacuum = INCREMENTAL", error, &failed_code_)) return false;
  if (!exec(db_, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL", error, &failed_code_))
    return false;
  // The marks are set only when they change, so that a database of ours at this schema opens
  // without a write: a full disk must not keep the host from starting.
  const bool marked = app == kApplicationId && version == kSchemaVersion;
  const std::string marks =
      marked ? std::string()
             : "PRAGMA application_id = " + std::to_string(kApplicationId) +
                   "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
  if (exec(db_, std::string("BEGIN IMMEDIATE;") + kSchema + marks + "COMMIT;", error,
           &failed_code_))
    return true;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

int64_t HistoryDb::pragma_int64(const char* sql, bool& ok) {
  sqlite3_stmt* st = nullptr;
  int64_t v = 0;
  ok =
      sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW;
  if (ok) v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return v;
}

bool HistoryDb::prepare(std::string& error) {
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
      {&set_state_,
       "INSERT OR REPLACE INTO alarm_state (data_id, since, level, key, alarm_id, text1, text2) "
       "VALUES (?, ?, ?, ?, ?, ?, ?)"},
      {&clear_state_, "DELETE FROM alarm_state WHERE data_id = ? AND key = ?"},
  };
  for (const auto& s : statements) {
    if (sqlite3_prepare_v2(db_, s.sql, -1, s.st, nullptr) != SQLITE_OK) return sql_failed(error);
  }
  return true;
}

HistoryDb::Row::Value HistoryDb::Row::Value::text(std::string s) {
  return Value{kText, 0, 0.0, std::move(s)};
}

HistoryDb::Row::Value HistoryDb::Row::Value::blob(const uint8_t* p, size_t n) {
  return Value{kBlob, 0, 0.0, std::string(reinterpret_cast<const char*>(p), n)};
}

void HistoryDb::bind(const Row& row) {
  for (size_t i = 0; i < row.values.size(); ++i) {
    const Row::Value& v = row.values[i];
    const int at = static_cast<int>(i) + 1;
    switch (v.kind) {
      case Row::Value::kInt:
        sqlite3_bind_int64(row.st, at, v.i);
        break;
      case Row::Value::kReal:
        sqlite3_bind_double(row.st, at, v.d);
        break;
      case Row::Value::kText:
        sqlite3_bind_text(row.st, at, v.s.data(), static_cast<int>(v.s.size()), SQLITE_STATIC);
        break;
      case Row::Value::kBlob:
        sqlite3_bind_blob(row.st, at, v.s.data(), static_cast<int>(v.s.size()), SQLITE_STATIC);
        break;
      case Row::Value::kNull:
        sqlite3_bind_null(row.st, at);
        break;
    }
  }
}

int HistoryDb::step(const Row& row) {
  bind(row);
  const int rc = sqlite3_step(row.st);
  sqlite3_reset(row.st);
  sqlite3_clear_bindings(row.st);
  return rc;
}

// The rows of one write go in whole or not at all (an alarm's event and its state).
int HistoryDb::write(const Write& w) {
  const bool several = w.size() > 1;
  int rc = several ? sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) : SQLITE_OK;
  for (size_t i = 0; rc == SQLITE_OK && i < w.size(); ++i) {
    rc = step(w[i]);
    rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
  }
  if (several && rc == SQLITE_OK) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    if (!busy(rc)) last_error_ = sqlite3_errmsg(db_);
    if (several && !sqlite3_get_autocommit(db_))
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  return rc;
}

// Queues the write, then writes what the queue holds, in order. A full queue loses its oldest
// round record first: alarm events and reports are kept while any record can go instead.
bool HistoryDb::submit(Write w) {
  const size_t lost_before = counters_.lost;
  if (queue_.size() >= queue_limit_) {
    auto victim = std::find_if(queue_.begin(), queue_.end(), [this](const Write& q) {
      return q.size() == 1 && q.front().st == insert_record_;
    });
    if (victim == queue_.end()) victim = queue_.begin();
    counters_.lost += victim->size();
    queue_.erase(victim);
    last_error_ =
        last_busy_ + "; " + std::to_string(queue_limit_) + " writes waiting, the oldest dropped";
  }
  queue_.push_back(std::move(w));
  flush();
  return counters_.lost == lost_before;
}

void HistoryDb::flush() {
  while (!queue_.empty()) {
    const int rc = write(queue_.front());
    if (waits(rc)) {
      last_busy_ = sqlite3_errstr(rc);
      return;
    }
    (rc == SQLITE_OK ? counters_.stored : counters_.lost) += queue_.front().size();
    queue_.pop_front();
  }
}

size_t HistoryDb::finish() {
  sqlite3_busy_timeout(db_, kBusyAtFinishMs);
  flush();
  for (const Write& w : queue_) counters_.lost += w.size();
  queue_.clear();
  sqlite3_busy_timeout(db_, kBusyMs);
  return counters_.lost;
}

bool HistoryDb::save_record(uint32_t data_id, int64_t time, const uint8_t* record, size_t n) {
  using V = Row::Value;
  tiers_.emplace(data_id, Tiers{});  // a device new to the upkeep
  return submit({Row{insert_record_, {V::integer(data_id), V::integer(time), V::blob(record, n)}}});
}

bool HistoryDb::save_alarm(uint32_t data_id, int64_t time, const AlarmTransition& t) {
  using V = Row::Value;
  Row event{insert_alarm_,
            {V::integer(data_id), V::integer(time), V::text(t.raised ? "raise" : "clear"),
             V::integer(t.level), V::text(t.key), V::text(t.alarm_id), V::text(t.text1),
             V::text(t.text2)}};
  Row state = t.raised
                  ? Row{set_state_,
                        {V::integer(data_id), V::integer(time), V::integer(t.level), V::text(t.key),
                         V::text(t.alarm_id), V::text(t.text1), V::text(t.text2)}}
                  : Row{clear_state_, {V::integer(data_id), V::text(t.key)}};
  return submit({std::move(event), std::move(state)});
}

bool HistoryDb::save_report(uint32_t data_id, int64_t time, const std::string& signal_id,
                            float value) {
  using V = Row::Value;
  // SQLite keeps no NaN: a value that is not a number is stored as NULL.
  const V v = std::isnan(value) ? V{} : V{V::kReal, 0, value, {}};
  return submit(
      {Row{insert_report_, {V::integer(data_id), V::integer(time), V::text(signal_id), v}}});
}

std::vector<AlarmTransition> HistoryDb::active_alarms(uint32_t data_id, std::string& error) {
  const char* sql =
      "SELECT level, key, alarm_id, text1, text2 FROM alarm_state WHERE data_id = ? ORDER BY key";
  sqlite3_stmt* st = nullptr;
  std::vector<AlarmTransition> out;
  if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db_);
    return out;
  }
  sqlite3_bind_int64(st, 1, data_id);
  const auto text = [st](int col) {
    const auto* p = sqlite3_column_text(st, col);
    return std::string(p ? reinterpret_cast<const char*>(p) : "");
  };
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW)
    out.push_back(
        AlarmTransition{true, sqlite3_column_int(st, 0), text(1), text(2), text(3), text(4)});
  if (rc != SQLITE_DONE) error = sqlite3_errmsg(db_);
  sqlite3_finalize(st);
  return out;
}

}  // namespace klx

namespace klx {
namespace {

// One statement run to its end; false with the reason.
bool run_once(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& bind,
              const std::function<void(sqlite3_stmt*)>& row, std::string& error) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return false;
  }
  if (bind) bind(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW)
    if (row) row(st);
  if (rc != SQLITE_DONE) error = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  return rc == SQLITE_DONE;
}

std::string column_text(sqlite3_stmt* st, int col) {
  const auto* p = sqlite3_column_text(st, col);
  return p ? reinterpret_cast<const char*>(p) : "";
}

}  // namespace

bool HistoryDb::outbox_put(const OutboxAlarm& a, std::string& error) {
  const AlarmTransition& t = a.transition;
  return run_once(
      db_,
      "INSERT OR REPLACE INTO alarm_outbox (seq, data_id, time, pending, event, level, key, "
      "alarm_id, text1, text2) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      [&](sqlite3_stmt* st) {
        sqlite3_bind_int64(st, 1, static_cast<int64_t>(a.seq));
        sqlite3_bind_int64(st, 2, a.data_id);
        sqlite3_bind_int64(st, 3, a.time);
        sqlite3_bind_int(st, 4, a.pending);
        sqlite3_bind_text(st, 5, t.raised ? "raise" : "clear", -1, SQLITE_STATIC);
        sqlite3_bind_int(st, 6, t.level);
        int at = 7;
        for (const std::string* s : {&t.key, &t.alarm_id, &t.text1, &t.text2})
          sqlite3_bind_text(st, at++, s->data(), static_cast<int>(s->size()), SQLITE_STATIC);
      },
      nullptr, error);
}

bool HistoryDb::outbox_remove(uint64_t seq, std::string& error) {
  return run_once(
      db_, "DELETE FROM alarm_outbox WHERE seq = ?",
      [&](sqlite3_stmt* st) { sqlite3_bind_int64(st, 1, static_cast<int64_t>(seq)); }, nullptr,
      error);
}

bool HistoryDb::outbox_load(std::vector<OutboxAlarm>& out, uint64_t& last_seq, std::string& error) {
  out.clear();
  last_seq = 0;
  const auto read_row = [&](sqlite3_stmt* st) {
    OutboxAlarm a;
    a.seq = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
    a.data_id = static_cast<uint32_t>(sqlite3_column_int64(st, 1));
    a.time = sqlite3_column_int64(st, 2);
    a.pending = sqlite3_column_int(st, 3) != 0;
    a.transition = AlarmTransition{column_text(st, 4) == "raise",
                                   sqlite3_column_int(st, 5),
                                   column_text(st, 6),
                                   column_text(st, 7),
                                   column_text(st, 8),
                                   column_text(st, 9)};
    out.push_back(std::move(a));
  };
  const auto read_seq = [&](sqlite3_stmt* st) {
    last_seq = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
  };
  return run_once(db_,
                  "SELECT seq, data_id, time, pending, event, level, key, alarm_id, text1, text2 "
                  "FROM alarm_outbox ORDER BY seq",
                  nullptr, read_row, error) &&
         run_once(db_, "SELECT seq FROM sqlite_sequence WHERE name = 'alarm_outbox'", nullptr,
                  read_seq, error);
}

}  // namespace klx
