#pragma once

// This host's own runtime (the data store), not part of the closed host's interface.

// The host's data store behind SendSP, SaveDeviceHistory and the alarm services: the latest
// record of every data identifier (mirrored to a cache file), the history database and the
// alarm state kept between batches.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "klx/rule_value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace klx {

// The latest record published under each data identifier. With a path, every new record is
// written to the cache file at once, atomically (a temporary file renamed over the old one), so
// a restart restores the last record even after a crash in the middle of a write.
class RecordCache {
 public:
  struct Entry {
    int sp_id = 0;
    std::vector<uint8_t> record;
  };

  explicit RecordCache(std::string path = "");

  // False (with the reason) when the path names something other than a regular file or
  // nothing: a symbolic link, a device, a folder. Such a path is never written.
  bool check_path(std::string& error) const;
  // Reads the cache file. A missing file is an empty cache; a damaged one is refused whole
  // (false, with the reason) and is replaced at the next write.
  bool load(std::string& error);
  // Keeps the record and writes the file; false (with last_error()) when the write failed.
  bool put(uint32_t data_id, int sp_id, const uint8_t* record, size_t n);
  const Entry* latest(uint32_t data_id) const;
  const std::string& last_error() const { return last_error_; }
  bool enabled() const { return !path_.empty(); }
  size_t writes() const { return writes_; }  // whole files written
  size_t failed_writes() const { return failed_writes_; }

  // The cache file's text for these entries, and the entries of a text (false when damaged).
  static std::string serialize(const std::map<uint32_t, Entry>& entries);
  static bool parse(const std::string& text, std::map<uint32_t, Entry>& out, std::string& error);

 private:
  bool write_file();

  std::string path_;
  std::map<uint32_t, Entry> entries_;
  std::string last_error_;
  size_t writes_ = 0;
  size_t failed_writes_ = 0;
};

// A raise or a clear of one alarm.
struct AlarmTransition {
  bool raised = false;
  int level = 0;
  std::string key;
  std::string alarm_id;
  std::string text1;
  std::string text2;
};

// Alarm state per key. A rule's condition must hold in `count` successive evaluations of its key
// before the alarm is raised (count 100 for the input-power interruption); the first evaluation
// in which it no longer holds clears it. Rules of level 0 are not configured and are ignored.
class AlarmBook {
 public:
  std::vector<AlarmTransition> evaluate(const std::vector<rule_value>& rules);
  std::vector<AlarmTransition> evaluate(const rule_value& rule);
  // An alarm raised before a restart: active again without a new raise, cleared by the first
  // evaluation of its key in which the condition no longer holds.
  void restore(const std::string& key);
  bool active(const std::string& key) const;
  size_t active_count() const;

 private:
  struct State {
    bool active = false;
    unsigned held = 0;
  };
  std::map<std::string, State> states_;
};

// Host limits of one checked value: outside [low, high] the check's alarm is active.
struct ValueLimit {
  float low = -3.4e38f;
  float high = 3.4e38f;
  int level = 1;
};

// How long each tier of the history is kept, and a cap on the database's size. Alarm events and
// reports are kept as long as the longest tier.
struct HistoryPolicy {
  int64_t raw_seconds = 7 * 86400;         // every round's record
  int64_t minute_seconds = 90 * 86400;     // one-minute aggregates
  int64_t hour_seconds = 5 * 365 * 86400;  // hourly aggregates
  int64_t max_bytes = 0;                   // 0: no cap; else the oldest raw rows go first
  int64_t longest() const;
};

struct DeviceLayout;

// The history database (SQLite, WAL). Tables, created when missing:
//   history(id, data_id, time, record)       each record saved as history, time in epoch seconds
//   history_minute(data_id, time, rounds, series), history_hour(...)   aggregates per bucket
//                                            (see klx/history_series.h), time the bucket's start
//   devices(data_id, layout)                 what each device has built, to decode its records
//   alarm_outbox(seq, data_id, time, pending, event, ...)   transitions an exporter has yet to
//                                            deliver (below)
//   alarm_events(id, data_id, time, event, level, key, alarm_id, text1, text2)   raise / clear
//   reports(id, data_id, time, signal_id, value)                                 analog reports
//   alarm_state(data_id, key, level, alarm_id, text1, text2, since)   the alarms active now
// Marked as ours by its application_id and user_version; a database of another program is
// refused unchanged.
class HistoryDb {
 public:
  struct Counters {
    size_t stored = 0;  // rows written
    size_t lost = 0;    // rows that failed, or were dropped from a full queue
    size_t capped = 0;  // rows dropped to keep the database under max_bytes
  };

  // Opens or creates the database; nullptr with the reason when it cannot. A full disk (or a
  // file-size limit) does not keep a database of ours at this schema from opening: it is then
  // held by this process alone (SQLite's WAL index in memory: no -shm file to create), readers
  // wait for the next start, and writes wait in the queue until there is room; take_warning()
  // says so. `no_room`, when given, is set when the disk is full and the database held nothing
  // yet (absent or empty), so that nothing of a previous run is in it.
  static std::unique_ptr<HistoryDb> open(const std::string& path, std::string& error,
                                         bool* no_room = nullptr);
  ~HistoryDb();
  HistoryDb(const HistoryDb&) = delete;
  HistoryDb& operator=(const HistoryDb&) = delete;

  // A write that finds the database busy (another writer) waits in a queue of at most
  // queue_limit() writes and goes in before the next one. False when rows were lost by this
  // call (last_error() says why): an error other than busy, or the queue full.
  bool save_record(uint32_t data_id, int64_t time, const uint8_t* record, size_t n);
  bool save_alarm(uint32_t data_id, int64_t time, const AlarmTransition& t);
  bool save_report(uint32_t data_id, int64_t time, const std::string& signal_id, float value);
  const std::string& last_error() const { return last_error_; }

  // The alarms active for a device when the database was last written (raised = true).
  std::vector<AlarmTransition> active_alarms(uint32_t data_id, std::string& error);

  // Alarm transitions an exporter has not delivered yet, and the delivered raises of alarms
  // still active, kept over restarts in a table of their own (alarm_outbox, created when
  // missing) in the order of their sequence numbers. Written at once, outside the queue.
  struct OutboxAlarm {
    uint64_t seq = 0;
    uint32_t data_id = 0;
    int64_t time = 0;
    bool pending = true;  // not delivered yet
    AlarmTransition transition;
  };
  bool outbox_put(const OutboxAlarm& a, std::string& error);  // inserts or replaces by seq
  bool outbox_remove(uint64_t seq, std::string& error);
  // Every row in order, and the highest sequence number ever kept (0: none).
  bool outbox_load(std::vector<OutboxAlarm>& out, uint64_t& last_seq, std::string& error);

  // At the end of a run: writes the queue, waiting longer for a busy database; what is still
  // waiting then is lost. The count of lost rows.
  size_t finish();
  const Counters& counters() const { return counters_; }

  void set_policy(const HistoryPolicy& p);
  // Kept in the database, so that its records are decoded as the device was built.
  bool set_layout(uint32_t data_id, const DeviceLayout& layout);
  // The store's upkeep in small steps (aggregating closed minutes and hours, pruning each tier,
  // the size cap), each in its own short transaction, for at most about `budget`; never while
  // rows wait in the queue, and never waiting for another writer. True while work remains: call
  // again soon. `now` is the wall clock in epoch seconds.
  bool maintain(int64_t now, std::chrono::microseconds budget = std::chrono::microseconds(2000));
  // A warning the upkeep has for the log, once ("" when none).
  std::string take_warning();
  // Pages in use (without the free list), times the page size.
  int64_t used_bytes();
  size_t waiting() const { return queue_.size(); }
  size_t queue_limit() const { return queue_limit_; }
  void set_queue_limit(size_t n) { queue_limit_ = n ? n : 1; }

 private:
  // One row to insert or delete: the statement and its values in order.
  struct Row {
    struct Value {
      enum Kind { kNull, kInt, kReal, kText, kBlob } kind = kNull;
      int64_t i = 0;
      double d = 0.0;
      std::string s;
      static Value integer(int64_t v) { return Value{kInt, v, 0.0, {}}; }
      static Value text(std::string s);
      static Value blob(const uint8_t* p, size_t n);
    };
    sqlite3_stmt* st = nullptr;
    std::vector<Value> values;
  };
  using Write = std::vector<Row>;

  explicit HistoryDb(sqlite3* db);
  // One attempt at opening; `code` is SQLite's error code when SQLite failed.
  static std::unique_ptr<HistoryDb> attach(const std::string& path, bool alone, std::string& error,
                                           int& code);
  bool sql_failed(std::string& error);
  bool claim(std::string& error);
  bool prepare(std::string& error);
  void bind(const Row& row);
  int step(const Row& row);
  int write(const Write& w);
  bool submit(Write w);
  void flush();
  // The upkeep (history_tiers.cpp); each returns the rows it wrote or removed.
  struct Tiers {
    int64_t minute_next = kUnknown;  // the first minute not aggregated yet
    int64_t hour_next = kUnknown;
  };
  static constexpr int64_t kUnknown = INT64_MIN;
  size_t upkeep_step(int64_t now);
  void load_devices();
  uint8_t layout_bits(uint32_t data_id);
  size_t aggregate_minutes(uint32_t data_id, Tiers& t, int64_t now);
  size_t aggregate_hours(uint32_t data_id, Tiers& t);
  size_t prune(int64_t now);
  size_t cap();
  int64_t pragma_int64(const char* sql, bool& ok);

  sqlite3* db_;
  HistoryPolicy policy_;
  std::map<uint32_t, Tiers> tiers_;
  std::map<uint32_t, uint8_t> layouts_;
  bool devices_loaded_ = false;
  bool capping_ = false;
  int64_t idle_until_ = INT64_MIN;
  std::string warning_;
  int failed_code_ = 0;  // SQLite's error code of the last failure while opening
  sqlite3_stmt* insert_record_ = nullptr;
  sqlite3_stmt* insert_alarm_ = nullptr;
  sqlite3_stmt* insert_report_ = nullptr;
  sqlite3_stmt* set_state_ = nullptr;
  sqlite3_stmt* clear_state_ = nullptr;
  std::deque<Write> queue_;
  size_t queue_limit_ = 1000;  // about half an hour of rounds
  Counters counters_;
  std::string last_busy_;
  std::string last_error_;
};

}  // namespace klx
