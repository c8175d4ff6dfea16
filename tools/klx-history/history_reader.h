#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

struct sqlite3;

// Reads the host's history database (tables history and alarm_events, see klx/store.h) for a
// time range, in time order, without loading the rounds all at once.
struct HistoryRange {
  int64_t from = std::numeric_limits<int64_t>::min();  // epoch seconds, inclusive
  int64_t to = std::numeric_limits<int64_t>::max();    // inclusive
  int64_t data_id = -1;                                // negative: every device
};

struct RoundRow {
  int64_t id = 0;
  int64_t time = 0;
  uint32_t data_id = 0;
  std::vector<uint8_t> record;
};

struct AlarmRow {
  int64_t id = 0;
  int64_t time = 0;
  uint32_t data_id = 0;
  std::string event;  // "raise" or "clear"
  int level = 0;
  std::string key, alarm_id, text1, text2;
};

class HistoryReader {
 public:
  // Opens read-only; throws std::runtime_error when the file is not a history database.
  explicit HistoryReader(const std::string& path);
  ~HistoryReader();
  HistoryReader(const HistoryReader&) = delete;
  HistoryReader& operator=(const HistoryReader&) = delete;

  void each_round(const HistoryRange& r, const std::function<void(const RoundRow&)>& fn);
  std::vector<AlarmRow> alarms(const HistoryRange& r);

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

// "1700000000" (epoch seconds) or local time "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (also with a
// "T"); throws std::runtime_error otherwise. A date alone is the day's first second, or with
// `end_of_day` its last.
int64_t parse_time_arg(const std::string& text, bool end_of_day = false);
std::string local_time_text(int64_t epoch);
