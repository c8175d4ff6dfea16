// The history's upkeep: one-minute aggregates from the rounds' records, hourly ones from the
// minutes, each tier pruned once it is both aggregated and older than its time, and the size cap.
// Every step is small (a few minutes of rounds, at most kPruneRows rows) and a transaction of
// its own, so a round's write waits for at most one step.
#include <sqlite3.h>

#include <algorithm>
#include <map>

#include "klx/history_series.h"
#include "klx/site_model.h"
#include "klx/store.h"
#include "sql.h"

namespace klx {
namespace {

constexpr int64_t kMinute = 60, kHour = 3600;
constexpr int64_t kMinutesPerStep = 5;  // about 120 rounds decoded at a round every 2.5 s
constexpr int64_t kHoursPerStep = 2;
constexpr int kPruneRows = 200;
constexpr int kBusyMs = 50;           // the writes' own wait, as history_db.cpp sets it
constexpr int64_t kIdleSeconds = 10;  // nothing to do: look again after this
// Before any row: the next bucket of a tier that has none yet (far from overflow when floored).
constexpr int64_t kBeforeAll = INT64_MIN / 4;

int64_t floor_to(int64_t t, int64_t step) {
  const int64_t q = t / step;
  return (q * step > t ? q - 1 : q) * step;
}

uint8_t bits_of(const DeviceLayout& l) {
  return static_cast<uint8_t>(l.has_ac | l.has_dc << 1 | l.phase[0] << 2 | l.phase[1] << 3 |
                              l.phase[2] << 4);
}

DeviceLayout layout_of_bits(uint8_t b) {
  DeviceLayout l;
  l.has_ac = b & 1;
  l.has_dc = b & 2;
  for (int i = 0; i < 3; ++i) l.phase[i] = b & (4 << i);
  return l;
}

// Every data identifier in a table's (data_id, ...) index, one seek each.
void distinct_ids(sqlite3* db, const char* table, std::map<uint32_t, bool>& out) {
  const std::string q = std::string("WITH RECURSIVE d(x) AS (SELECT MIN(data_id) FROM ") + table +
                        " UNION ALL SELECT (SELECT MIN(data_id) FROM " + table +
                        " WHERE data_id > x) FROM d WHERE x IS NOT NULL) "
                        "SELECT x FROM d WHERE x IS NOT NULL";
  sql::Stmt s(db, q.c_str());
  while (s.row()) out[static_cast<uint32_t>(s.i64(0))] = true;
}

// The first time at or after `from` in a tier for a device; kUnknown when none.
int64_t first_time(sqlite3* db, const char* table, uint32_t id, int64_t from) {
  const std::string q =
      std::string("SELECT MIN(time) FROM ") + table + " WHERE data_id = ? AND time >= ?";
  sql::Stmt s(db, q.c_str());
  s.bind(1, id).bind(2, from);
  return s.row() && !s.null(0) ? s.i64(0) : INT64_MIN;
}

// Where a tier's aggregation resumes: one step after its last row, or before everything.
int64_t resume_time(sqlite3* db, const char* table, uint32_t id, int64_t step) {
  const std::string q = std::string("SELECT MAX(time) FROM ") + table + " WHERE data_id = ?";
  sql::Stmt last(db, q.c_str());
  last.bind(1, id);
  return last.row() && !last.null(0) ? last.i64(0) + step : kBeforeAll;
}

void write_bucket(sql::Stmt& ins, uint32_t id, int64_t time, int64_t rounds,
                  const SeriesBucket& b) {
  ins.bind(1, id).bind(2, time).bind(3, rounds).bind_blob(4, b.encode());
  ins.run();
}

// Removes at most kPruneRows of a device's rows older than `before` from an aggregate table.
size_t prune_table(sqlite3* db, const char* table, uint32_t id, int64_t before) {
  const std::string edge = std::string("SELECT time FROM ") + table +
                           " WHERE data_id = ? AND time < ? ORDER BY time LIMIT 1 OFFSET " +
                           std::to_string(kPruneRows);
  sql::Stmt e(db, edge.c_str());
  e.bind(1, id).bind(2, before);
  if (e.row()) before = e.i64(0);
  e.reset();
  const std::string del = std::string("DELETE FROM ") + table + " WHERE data_id = ? AND time < ?";
  sql::Stmt d(db, del.c_str());
  d.bind(1, id).bind(2, before).run();
  return static_cast<size_t>(sqlite3_changes(db));
}

// Removes the oldest rows (by id) of an event table older than `before`.
size_t prune_events(sqlite3* db, const char* table, int64_t before) {
  const std::string del = std::string("DELETE FROM ") + table + " WHERE id IN (SELECT id FROM " +
                          table + " ORDER BY id LIMIT " + std::to_string(kPruneRows) +
                          ") AND time < ?";
  sql::Stmt d(db, del.c_str());
  d.bind(1, before).run();
  return static_cast<size_t>(sqlite3_changes(db));
}

}  // namespace

int64_t HistoryPolicy::longest() const {
  return std::max({raw_seconds, minute_seconds, hour_seconds});
}

void HistoryDb::set_policy(const HistoryPolicy& p) {
  policy_ = p;
  idle_until_ = INT64_MIN;
}

bool HistoryDb::set_layout(uint32_t data_id, const DeviceLayout& layout) {
  layouts_[data_id] = bits_of(layout);
  try {
    sql::Stmt s(db_, "INSERT OR REPLACE INTO devices (data_id, layout) VALUES (?, ?)");
    s.bind(1, data_id).bind(2, layouts_[data_id]).run();
    return true;
  } catch (const sql::Error& e) {
    last_error_ = e.what();
    return false;
  }
}

uint8_t HistoryDb::layout_bits(uint32_t data_id) {
  auto it = layouts_.find(data_id);
  if (it != layouts_.end()) return it->second;
  // A device this run has not configured: as it was last written, else everything built.
  sql::Stmt s(db_, "SELECT layout FROM devices WHERE data_id = ?");
  s.bind(1, data_id);
  return layouts_[data_id] = s.row() ? static_cast<uint8_t>(s.i64(0)) : 0x1f;
}

std::string HistoryDb::take_warning() { return std::exchange(warning_, std::string()); }

int64_t HistoryDb::used_bytes() {
  bool ok = false;
  const int64_t pages = pragma_int64("PRAGMA page_count", ok);
  const int64_t free_pages = pragma_int64("PRAGMA freelist_count", ok);
  return (pages - free_pages) * pragma_int64("PRAGMA page_size", ok);
}

void HistoryDb::load_devices() {
  std::map<uint32_t, bool> ids;
  distinct_ids(db_, "history", ids);
  distinct_ids(db_, "history_minute", ids);
  for (const auto& [id, _] : ids) tiers_.emplace(id, Tiers{});
  devices_loaded_ = true;
}

bool HistoryDb::maintain(int64_t now, std::chrono::microseconds budget) {
  if (!queue_.empty() || now < idle_until_) return !queue_.empty();
  const auto start = std::chrono::steady_clock::now();
  sqlite3_busy_timeout(db_, 0);  // another writer: try again at the next call
  bool more = true;
  try {
    if (!devices_loaded_) load_devices();
    while (more && std::chrono::steady_clock::now() - start < budget) more = upkeep_step(now) > 0;
  } catch (const sql::Error& e) {
    if ((e.rc & 0xff) != SQLITE_BUSY && (e.rc & 0xff) != SQLITE_LOCKED)
      warning_ = std::string("history upkeep: ") + e.what();
    more = false;
  }
  sqlite3_busy_timeout(db_, kBusyMs);
  if (!more) idle_until_ = now + kIdleSeconds;
  return more;
}

// The cap first (a full disk fails every later write), then the aggregates, then the pruning.
size_t HistoryDb::upkeep_step(int64_t now) {
  if (size_t n = cap()) return n;
  for (auto& [id, t] : tiers_)
    if (size_t n = aggregate_minutes(id, t, now)) return n;
  for (auto& [id, t] : tiers_)
    if (size_t n = aggregate_hours(id, t)) return n;
  return prune(now);
}

size_t HistoryDb::aggregate_minutes(uint32_t id, Tiers& t, int64_t now) {
  const int64_t limit = floor_to(now, kMinute);  // minutes before this one are closed
  if (t.minute_next == kUnknown) t.minute_next = resume_time(db_, "history_minute", id, kMinute);
  if (t.minute_next >= limit) return 0;
  const int64_t first = first_time(db_, "history", id, t.minute_next);
  if (first == INT64_MIN || first >= limit) {
    t.minute_next = limit;  // nothing to aggregate up to now
    return 0;
  }
  const int64_t start = floor_to(first, kMinute);
  const int64_t end = std::min(limit, start + kMinutesPerStep * kMinute);
  const DeviceLayout layout = layout_of_bits(layout_bits(id));
  sql::Transaction tx(db_);
  sql::Stmt rows(db_,
                 "SELECT time, record FROM history WHERE data_id = ? AND time >= ? AND time < ? "
                 "ORDER BY time");
  sql::Stmt ins(db_,
                "INSERT OR REPLACE INTO history_minute (data_id, time, rounds, series) "
                "VALUES (?, ?, ?, ?)");
  rows.bind(1, id).bind(2, start).bind(3, end);
  SeriesBucket bucket;
  series::Sample sample;
  int64_t at = start, rounds = 0;
  size_t written = 0;
  while (rows.row()) {
    const int64_t minute = floor_to(rows.i64(0), kMinute);
    if (minute != at && rounds) write_bucket(ins, id, at, rounds, bucket), ++written;
    if (minute != at) bucket.clear(), rounds = 0, at = minute;
    size_t n = 0;
    const uint8_t* p = rows.blob(1, n);
    const PlantReading plant = read_plant(p, n, layout);
    if (!plant.valid) continue;  // not a record: nothing to take from it
    series::sample(plant, sample);
    bucket.add(sample);
    ++rounds;
  }
  if (rounds) write_bucket(ins, id, at, rounds, bucket), ++written;
  tx.commit();
  t.minute_next = end;
  return std::max<size_t>(written, 1);  // an empty stretch passed is work done too
}

size_t HistoryDb::aggregate_hours(uint32_t id, Tiers& t) {
  if (t.minute_next == kUnknown || t.minute_next == kBeforeAll) return 0;
  const int64_t limit = floor_to(t.minute_next, kHour);  // hours whose minutes are all in
  if (t.hour_next == kUnknown) t.hour_next = resume_time(db_, "history_hour", id, kHour);
  if (t.hour_next >= limit) return 0;
  const int64_t first = first_time(db_, "history_minute", id, t.hour_next);
  if (first == INT64_MIN || first >= limit) {
    t.hour_next = limit;
    return 0;
  }
  const int64_t start = floor_to(first, kHour);
  const int64_t end = std::min(limit, start + kHoursPerStep * kHour);
  sql::Transaction tx(db_);
  sql::Stmt rows(db_,
                 "SELECT time, rounds, series FROM history_minute WHERE data_id = ? AND time >= ? "
                 "AND time < ? ORDER BY time");
  sql::Stmt ins(db_,
                "INSERT OR REPLACE INTO history_hour (data_id, time, rounds, series) "
                "VALUES (?, ?, ?, ?)");
  rows.bind(1, id).bind(2, start).bind(3, end);
  SeriesBucket hour, minute;
  int64_t at = start, rounds = 0;
  size_t written = 0;
  while (rows.row()) {
    const int64_t h = floor_to(rows.i64(0), kHour);
    if (h != at && rounds) write_bucket(ins, id, at, rounds, hour), ++written;
    if (h != at) hour.clear(), rounds = 0, at = h;
    size_t n = 0;
    const uint8_t* p = rows.blob(2, n);
    if (!minute.decode(p, n)) continue;  // a damaged row is left out, not guessed at
    hour.merge(minute);
    rounds += rows.i64(1);
  }
  if (rounds) write_bucket(ins, id, at, rounds, hour), ++written;
  tx.commit();
  t.hour_next = end;
  return std::max<size_t>(written, 1);
}

// A tier's rows go once they are older than its time and aggregated into the next tier.
size_t HistoryDb::prune(int64_t now) {
  sql::Transaction tx(db_);
  size_t n = 0;
  for (auto& [id, t] : tiers_) {
    if (t.minute_next != kUnknown) {
      sql::Stmt d(db_,
                  "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE data_id = ? AND "
                  "time < ? ORDER BY time LIMIT 200)");
      d.bind(1, id).bind(2, std::min(now - policy_.raw_seconds, t.minute_next)).run();
      n += static_cast<size_t>(sqlite3_changes(db_));
    }
    if (t.hour_next != kUnknown)
      n += prune_table(db_, "history_minute", id,
                       std::min(now - policy_.minute_seconds, t.hour_next));
    n += prune_table(db_, "history_hour", id, now - policy_.hour_seconds);
    if (n) break;
  }
  if (!n) n += prune_events(db_, "alarm_events", now - policy_.longest());
  if (!n) n += prune_events(db_, "reports", now - policy_.longest());
  tx.commit();
  // Pages freed go back to the file system a few at a time (new databases only: auto_vacuum
  // can be chosen when a database is created).
  bool ok = false;
  if (!n && pragma_int64("PRAGMA auto_vacuum", ok) == 2 &&
      pragma_int64("PRAGMA freelist_count", ok) > 1024) {
    sql::exec(db_, "PRAGMA incremental_vacuum(256)");
    return 1;
  }
  return n;
}

// Over max_bytes: the oldest raw rows go first, then the oldest minutes, then the oldest hours.
size_t HistoryDb::cap() {
  if (policy_.max_bytes <= 0) return 0;
  const int64_t used = used_bytes();
  if (used <= policy_.max_bytes) {
    capping_ = false;
    return 0;
  }
  static const char* const kOldest[] = {
      "DELETE FROM history WHERE id IN (SELECT id FROM history ORDER BY id LIMIT 200)",
      ("DELETE FROM history_minute WHERE id IN (SELECT id FROM history_minute ORDER BY id "
       "LIMIT 200)"),
      "DELETE FROM history_hour WHERE id IN (SELECT id FROM history_hour ORDER BY id LIMIT 200)"};
  size_t n = 0;
  sql::Transaction tx(db_);
  for (const char* q : kOldest) {
    sql::Stmt(db_, q).run();
    if ((n = static_cast<size_t>(sqlite3_changes(db_)))) break;
  }
  tx.commit();
  counters_.capped += n;
  if (!capping_ && n)
    warning_ = "history: the database uses " + std::to_string(used) + " bytes, over max_bytes " +
               std::to_string(policy_.max_bytes) + "; the oldest rows are dropped";
  capping_ = n > 0;
  return n;
}

}  // namespace klx
