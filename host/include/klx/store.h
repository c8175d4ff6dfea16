#pragma once

// The host's data store behind SendSP, SaveDeviceHistory and the alarm services: the latest
// record of every data identifier (mirrored to a cache file), the history database and the
// alarm state kept between batches.

#include <cstdint>
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

  // Reads the cache file. A missing file is an empty cache; a damaged one is refused whole
  // (false, with the reason) and is replaced at the next write.
  bool load(std::string& error);
  // Keeps the record and writes the file; false (with last_error()) when the write failed.
  bool put(uint32_t data_id, int sp_id, const uint8_t* record, size_t n);
  const Entry* latest(uint32_t data_id) const;
  const std::string& last_error() const { return last_error_; }

  // The cache file's text for these entries, and the entries of a text (false when damaged).
  static std::string serialize(const std::map<uint32_t, Entry>& entries);
  static bool parse(const std::string& text, std::map<uint32_t, Entry>& out, std::string& error);

 private:
  bool write_file();

  std::string path_;
  std::map<uint32_t, Entry> entries_;
  std::string last_error_;
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

// The history database (SQLite). Tables, created when missing:
//   history(id, data_id, time, record)       each record saved as history, time in epoch seconds
//   alarm_events(id, data_id, time, event, level, key, alarm_id, text1, text2)   raise / clear
//   reports(id, data_id, time, signal_id, value)                                 analog reports
class HistoryDb {
 public:
  // Opens or creates the database; nullptr with the reason when it cannot.
  static std::unique_ptr<HistoryDb> open(const std::string& path, std::string& error);
  ~HistoryDb();
  HistoryDb(const HistoryDb&) = delete;
  HistoryDb& operator=(const HistoryDb&) = delete;

  bool save_record(uint32_t data_id, int64_t time, const uint8_t* record, size_t n);
  bool save_alarm(uint32_t data_id, int64_t time, const AlarmTransition& t);
  bool save_report(uint32_t data_id, int64_t time, const std::string& signal_id, float value);
  const std::string& last_error() const { return last_error_; }

 private:
  explicit HistoryDb(sqlite3* db);
  bool prepare(std::string& error);
  bool step(sqlite3_stmt* st);

  sqlite3* db_;
  sqlite3_stmt* insert_record_ = nullptr;
  sqlite3_stmt* insert_alarm_ = nullptr;
  sqlite3_stmt* insert_report_ = nullptr;
  std::string last_error_;
};

}  // namespace klx
