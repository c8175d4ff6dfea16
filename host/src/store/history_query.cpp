#include "klx/history_query.h"

#include <json/json.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "klx/history_series.h"
#include "klx/site_model.h"
#include "sql.h"

namespace klx {
namespace {

struct Tier {
  const char* name;
  const char* table;
  int64_t native;    // seconds per row at the finest
  int64_t max_span;  // beyond this the tier has too many rows to read for one answer
};
// Rounds come every few seconds: 6 hours are some 10,000 records to decode; 14 days of minutes
// are 20,160 rows.
constexpr Tier kTiers[] = {{"raw", "history", 1, 6 * 3600},
                           {"minute", "history_minute", 60, 14 * 86400},
                           {"hour", "history_hour", 3600, std::numeric_limits<int64_t>::max()}};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

int64_t floor_to(int64_t t, int64_t step) {
  const int64_t q = t / step;
  return (q * step > t ? q - 1 : q) * step;
}

bool has_rows(sqlite3* db, const Tier& t, uint32_t id, int64_t from, int64_t to, bool& covers) {
  const std::string q = std::string("SELECT MIN(time), (SELECT time FROM ") + t.table +
                        " WHERE data_id = ?1 AND time >= ?2 AND time <= ?3 LIMIT 1) FROM " +
                        t.table + " WHERE data_id = ?1";
  sql::Stmt s(db, q.c_str());
  s.bind(1, id).bind(2, from).bind(3, to);
  if (!s.row() || s.null(0)) return covers = false, false;
  covers = s.i64(0) <= from;
  return !s.null(1);
}

// The finest tier allowed for the span that reaches back to `from`; else the finest allowed one
// with anything in the range (a young database); else the coarsest.
const Tier& choose_tier(sqlite3* db, const TrendRequest& r) {
  const Tier* with_rows = nullptr;
  for (const Tier& t : kTiers) {
    if (r.to - r.from > t.max_span) continue;
    bool covers = false;
    const bool rows = has_rows(db, t, r.data_id, r.from, r.to, covers);
    if (rows && covers) return t;
    if (rows && !with_rows) with_rows = &t;
  }
  return with_rows ? *with_rows : kTiers[2];
}

// Buckets in time order: a row's values are added to the open one; a bucket is written out when
// the next one starts.
class Buckets {
 public:
  Buckets(TrendAnswer& a, const std::vector<uint8_t>& ids, int64_t step) : a_(a), step_(step) {
    for (uint8_t id : ids) a_.series.push_back(TrendSeries{id, {}, {}, {}});
  }
  SeriesBucket& at(int64_t time) {
    const int64_t start = floor_to(time, step_);
    if (start != open_) close(), open_ = start;
    return acc_;
  }
  void close() {
    bool any = false;
    for (const TrendSeries& s : a_.series) any = any || acc_.get(s.id);
    if (any) {
      a_.time.push_back(open_);
      for (TrendSeries& s : a_.series) {
        const SeriesBucket::Stat* st = acc_.get(s.id);
        s.min.push_back(st ? st->min : kNaN);
        s.mean.push_back(st ? st->mean() : kNaN);
        s.max.push_back(st ? st->max : kNaN);
      }
    }
    acc_.clear();
  }

 private:
  TrendAnswer& a_;
  int64_t step_;
  int64_t open_ = std::numeric_limits<int64_t>::min();
  SeriesBucket acc_;
};

DeviceLayout layout_of(sqlite3* db, uint32_t id) {
  sql::Stmt s(db, "SELECT layout FROM devices WHERE data_id = ?");
  s.bind(1, id);
  const int64_t b = s.row() ? s.i64(0) : 0x1f;
  DeviceLayout l;
  l.has_ac = b & 1;
  l.has_dc = b & 2;
  for (int i = 0; i < 3; ++i) l.phase[i] = b & (4 << i);
  return l;
}

void read_raw(sqlite3* db, const TrendRequest& r, Buckets& out) {
  const DeviceLayout layout = layout_of(db, r.data_id);
  sql::Stmt s(db,
              "SELECT time, record FROM history WHERE data_id = ? AND time >= ? AND time <= ? "
              "ORDER BY time");
  s.bind(1, r.data_id).bind(2, r.from).bind(3, r.to);
  series::Sample sample;
  while (s.row()) {
    size_t n = 0;
    const uint8_t* p = s.blob(1, n);
    const PlantReading plant = read_plant(p, n, layout);
    series::sample(plant, sample);
    out.at(s.i64(0)).add(sample);
  }
}

void read_aggregates(sqlite3* db, const Tier& t, const TrendRequest& r, Buckets& out) {
  const std::string q = std::string("SELECT time, series FROM ") + t.table +
                        " WHERE data_id = ? AND time >= ? AND time <= ? ORDER BY time";
  sql::Stmt s(db, q.c_str());
  s.bind(1, r.data_id).bind(2, r.from).bind(3, r.to);
  SeriesBucket row;
  while (s.row()) {
    size_t n = 0;
    const uint8_t* p = s.blob(1, n);
    if (row.decode(p, n)) out.at(s.i64(0)).merge(row);
  }
}

void read_alarms(sqlite3* db, const TrendRequest& r, std::vector<TrendAlarm>& out) {
  sql::Stmt s(db,
              "SELECT time, event, level, alarm_id, text2 FROM alarm_events WHERE data_id = ? "
              "AND time >= ? AND time <= ? ORDER BY time, id LIMIT ?");
  s.bind(1, r.data_id).bind(2, r.from).bind(3, r.to).bind(4, TrendAnswer::kMaxAlarms);
  while (s.row())
    out.push_back(TrendAlarm{s.i64(0), s.text(1) == "raise", static_cast<int>(s.i64(2)), s.text(3),
                             s.text(4)});
}

Json::Value number(float v) { return std::isfinite(v) ? Json::Value(double(v)) : Json::Value(); }

std::string cell(float v) {
  if (!std::isfinite(v)) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.7g", double(v));
  return buf;
}

}  // namespace

std::unique_ptr<TrendReader> TrendReader::open(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 200);  // only while the writer checkpoints; never the poll loop
  return std::unique_ptr<TrendReader>(new TrendReader(db));
}

TrendReader::~TrendReader() { sqlite3_close(db_); }

TrendAnswer TrendReader::query(const TrendRequest& r) {
  try {
    sql::exec(db_, "BEGIN");  // one snapshot for the values and the alarms
    TrendAnswer a;
    const Tier& t = choose_tier(db_, r);
    const int64_t span = r.to - r.from + 1;
    const int64_t wanted = (span + int64_t(r.max_points ? r.max_points : 1) - 1) /
                           int64_t(r.max_points ? r.max_points : 1);
    a.tier = t.name;
    a.step = std::max<int64_t>(t.native, (wanted + t.native - 1) / t.native * t.native);
    Buckets out(a, r.series, a.step);
    if (&t == &kTiers[0])
      read_raw(db_, r, out);
    else
      read_aggregates(db_, t, r, out);
    out.close();
    read_alarms(db_, r, a.alarms);
    sql::exec(db_, "COMMIT");
    return a;
  } catch (const sql::Error& e) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw std::runtime_error(e.what());
  }
}

std::string trend_json(const TrendRequest& r, const TrendAnswer& a) {
  Json::Value v;
  v["data_id"] = r.data_id;
  v["from"] = Json::Int64(r.from);
  v["to"] = Json::Int64(r.to);
  v["tier"] = a.tier;
  v["step"] = Json::Int64(a.step);
  Json::Value& time = v["time"] = Json::Value(Json::arrayValue);
  for (int64_t t : a.time) time.append(Json::Int64(t));
  Json::Value& list = v["series"] = Json::Value(Json::arrayValue);
  for (const TrendSeries& s : a.series) {
    Json::Value one;
    one["name"] = series::name(s.id);
    one["unit"] = series::unit(s.id);
    for (const auto& [key, values] :
         {std::pair{"min", &s.min}, {"mean", &s.mean}, {"max", &s.max}}) {
      Json::Value& col = one[key] = Json::Value(Json::arrayValue);
      for (float f : *values) col.append(number(f));
    }
    list.append(one);
  }
  Json::Value& alarms = v["alarms"] = Json::Value(Json::arrayValue);
  for (const TrendAlarm& m : a.alarms) {
    Json::Value one;
    one["time"] = Json::Int64(m.time);
    one["event"] = m.raised ? "raise" : "clear";
    one["level"] = m.level;
    one["alarm_id"] = m.alarm_id;
    one["name"] = m.name;
    alarms.append(one);
  }
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  w["precision"] = 7;
  return Json::writeString(w, v);
}

std::string trend_csv(const TrendAnswer& a) {
  std::string out = "time";
  for (const TrendSeries& s : a.series) {
    const std::string n = series::name(s.id);
    out += "," + n + ".min," + n + ".mean," + n + ".max";
  }
  out += "\n";
  for (size_t i = 0; i < a.time.size(); ++i) {
    out += std::to_string(a.time[i]);
    for (const TrendSeries& s : a.series)
      out += "," + cell(s.min[i]) + "," + cell(s.mean[i]) + "," + cell(s.max[i]);
    out += "\n";
  }
  return out;
}

}  // namespace klx
