#pragma once

// This host's own runtime: reading the history's trends back, for /api/history and klx-history.
// It has a read-only connection of its own, so a reader (the HTTP thread, a person's command)
// never holds the poll loop's writes: in WAL mode neither waits for the other.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace klx {

struct TrendRequest {
  uint32_t data_id = 0;
  int64_t from = 0, to = 0;     // epoch seconds, inclusive
  std::vector<uint8_t> series;  // numbers of klx/history_series.h
  size_t max_points = 2000;     // buckets per series at most
};

struct TrendSeries {
  uint8_t id = 0;
  // Per bucket of the answer; NaN where the series had no value in the bucket.
  std::vector<float> min, mean, max;
};

struct TrendAlarm {
  int64_t time = 0;
  bool raised = false;
  int level = 0;
  std::string alarm_id, name;
};

struct TrendAnswer {
  std::string tier;           // "raw", "minute" or "hour": where the values came from
  int64_t step = 0;           // seconds per bucket; buckets start at multiples of it
  std::vector<int64_t> time;  // each bucket's start, only buckets with a value
  std::vector<TrendSeries> series;
  std::vector<TrendAlarm> alarms;  // raises and clears in the range, at most kMaxAlarms
  static constexpr size_t kMaxAlarms = 1000;
};

class TrendReader {
 public:
  // Opens read-only; nullptr with the reason when it cannot.
  static std::unique_ptr<TrendReader> open(const std::string& path, std::string& error);
  ~TrendReader();
  TrendReader(const TrendReader&) = delete;
  TrendReader& operator=(const TrendReader&) = delete;

  // Answers from the finest tier that is not too fine for the range (about 10,000 rows read at
  // most for the rounds, 20,000 for minutes) and holds its start, merged into at most
  // max_points buckets. Throws std::runtime_error when the database cannot be read.
  TrendAnswer query(const TrendRequest& r);

 private:
  explicit TrendReader(sqlite3* db) : db_(db) {}
  sqlite3* db_;
};

// The answer as JSON: {"data_id","from","to","tier","step","time":[...],
// "series":[{"name","unit","min":[...],"mean":[...],"max":[...]}],"alarms":[{"time","event",
// "level","alarm_id","name"}]}, a value absent from its bucket as null.
std::string trend_json(const TrendRequest& r, const TrendAnswer& a);
// As CSV: "time,<series>.min,<series>.mean,<series>.max,...", one row per bucket (epoch
// seconds), an absent value an empty cell.
std::string trend_csv(const TrendAnswer& a);

}  // namespace klx
