// The history's tiers: minute and hour aggregates from the site model's values (absent values
// left out), each tier pruned after its time, the size cap, the upgrade of an old database, the
// size after a year, and the trends read back.
#ifdef KLX_HAVE_RUNNER  // the site daemon and the store: not in the controller build

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdio>

#include "config.h"
#include "history_api.h"
#include "klx/history_query.h"
#include "klx/history_series.h"
#include "klx/site_model.h"
#include "klx/store.h"
#include "support/plant_record.h"
#include "support/scratch.h"

namespace {

constexpr int64_t kT0 = 1700000040;  // a minute's start (2023-11-14 22:14 UTC)
const uint8_t kDcV = *klx::series::id_of("dc.voltage");
const uint8_t kM1 = *klx::series::id_of("rc.m1.current");

std::unique_ptr<klx::HistoryDb> open_db(const std::string& path) {
  std::string error;
  auto db = klx::HistoryDb::open(path, error);
  EXPECT_TRUE(db) << error;
  klx::DeviceLayout layout;
  layout.has_dc = true;
  db->set_layout(7, layout);
  return db;
}

void save(klx::HistoryDb& db, int64_t t, const PlantValues& v) {
  const auto r = plant_record(v);
  ASSERT_TRUE(db.save_record(7, t, r.data(), r.size())) << db.last_error();
}

void settle(klx::HistoryDb& db, int64_t now) {
  while (db.maintain(now, std::chrono::seconds(5))) {
  }
}

int64_t count(const std::string& path, const std::string& sql) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  int64_t n = -1;
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    n = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  sqlite3_close(h);
  return n;
}

klx::SeriesBucket bucket(const std::string& path, const char* table, int64_t time) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  const std::string q =
      std::string("SELECT series FROM ") + table + " WHERE data_id = 7 AND time = ?";
  sqlite3_prepare_v2(h, q.c_str(), -1, &st, nullptr);
  sqlite3_bind_int64(st, 1, time);
  klx::SeriesBucket b;
  if (sqlite3_step(st) == SQLITE_ROW) {
    EXPECT_TRUE(b.decode(static_cast<const uint8_t*>(sqlite3_column_blob(st, 0)),
                         static_cast<size_t>(sqlite3_column_bytes(st, 0))));
  }
  sqlite3_finalize(st);
  sqlite3_close(h);
  return b;
}

TEST(HistoryTiers, AggregatesLeaveAbsentValuesOutAndEachTierIsPrunedAfterItsTime) {
  const std::string path = klx_test::scratch_path("tiers.db");
  auto db = open_db(path);
  // Minute 0: 50, 52, 54 V; module 1 absent (the invalid marker) in one round of three.
  // Minute 1: one round of 60 V. The hour's mean weighs the rounds, not the minutes.
  const struct {
    int64_t at;
    float dc;
    float m1;
  } rounds[] = {{0, 50, 10}, {20, 52, -0.1f}, {40, 54, 14}, {60, 60, 12}};
  for (const auto& r : rounds) {
    PlantValues v;
    v.dc_voltage = r.dc;
    v.modules[0] = r.m1;
    save(*db, kT0 + r.at, v);
  }
  settle(*db, kT0 + 3600 + 120);  // both minutes closed, and the hour
  auto m = bucket(path, "history_minute", kT0);
  ASSERT_TRUE(m.get(kDcV));
  EXPECT_EQ(m.get(kDcV)->n, 3u);
  EXPECT_FLOAT_EQ(m.get(kDcV)->min, 50);
  EXPECT_FLOAT_EQ(m.get(kDcV)->max, 54);
  EXPECT_FLOAT_EQ(m.get(kDcV)->mean(), 52);
  EXPECT_EQ(m.get(kM1)->n, 2u) << "an absent value is not averaged in";
  EXPECT_FLOAT_EQ(m.get(kM1)->mean(), 12);
  const auto h = bucket(path, "history_hour", kT0 - kT0 % 3600);
  ASSERT_TRUE(h.get(kDcV));
  EXPECT_FLOAT_EQ(h.get(kDcV)->mean(), (50 + 52 + 54 + 60) / 4.0f);
  EXPECT_FLOAT_EQ(h.get(kDcV)->max, 60);

  // Each tier goes after its time, and never before the next tier has it.
  klx::HistoryPolicy p;
  p.raw_seconds = 86400;
  p.minute_seconds = 2 * 86400;
  p.hour_seconds = 3 * 86400;
  db->set_policy(p);
  const struct {
    int64_t now;
    int64_t raw, minutes, hours;
  } steps[] = {{kT0 + 86400 + 30, 2, 2, 1},  // the first rounds are a day old
               {kT0 + 86400 + 200, 0, 2, 1},
               {kT0 + 2 * 86400 + 200, 0, 0, 1},
               {kT0 + 3 * 86400 + 3600, 0, 0, 0}};
  for (const auto& s : steps) {
    settle(*db, s.now);
    EXPECT_EQ(count(path, "SELECT count(*) FROM history"), s.raw) << s.now - kT0;
    EXPECT_EQ(count(path, "SELECT count(*) FROM history_minute"), s.minutes) << s.now - kT0;
    EXPECT_EQ(count(path, "SELECT count(*) FROM history_hour"), s.hours) << s.now - kT0;
  }
}

TEST(HistoryTiers, VersionOneDatabaseIsUpgradedInPlaceAndItsRoundsAggregated) {
  const std::string path = klx_test::scratch_path("v1.db");
  {
    auto db = open_db(path);
    PlantValues v;
    save(*db, kT0, v);
    save(*db, kT0 + 2, v);
  }
  // Back to what an earlier klx-host left: its tables only, user_version 1.
  sqlite3* h = nullptr;
  sqlite3_open(path.c_str(), &h);
  ASSERT_EQ(sqlite3_exec(h,
                         "DROP TABLE history_minute; DROP TABLE history_hour; DROP TABLE devices; "
                         "DROP TABLE alarm_outbox; "
                         "DROP INDEX alarm_events_by_device; PRAGMA user_version = 1",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(h);
  auto db = open_db(path);
  EXPECT_EQ(count(path, "PRAGMA user_version"), 2);
  EXPECT_EQ(count(path, "SELECT count(*) FROM alarm_outbox"), 0) << "the outbox is part of 2";
  EXPECT_EQ(count(path, "SELECT count(*) FROM history"), 2);
  settle(*db, kT0 + 120);
  EXPECT_EQ(bucket(path, "history_minute", kT0).get(kDcV)->n, 2u);
}

TEST(HistoryTiers, CapDropsTheOldestRawRowsFirstCountedAndWarnedOnce) {
  const std::string path = klx_test::scratch_path("cap.db");
  auto db = open_db(path);
  for (int i = 0; i < 4000; ++i) save(*db, kT0 + i, PlantValues{});  // about 2.5 MB
  settle(*db, kT0 + 4000);
  const int64_t before = db->used_bytes();
  klx::HistoryPolicy p;
  p.max_bytes = 1 << 20;
  db->set_policy(p);
  settle(*db, kT0 + 4000);
  EXPECT_LE(db->used_bytes(), p.max_bytes) << "from " << before;
  EXPECT_GT(db->counters().capped, 0u);
  EXPECT_EQ(count(path, "SELECT max(time) FROM history"), kT0 + 3999) << "the newest are kept";
  EXPECT_GT(count(path, "SELECT count(*) FROM history_minute"), 60) << "aggregates kept";
  EXPECT_NE(db->take_warning().find("over max_bytes 1048576"), std::string::npos);
  EXPECT_EQ(db->take_warning(), "");
}

// A year on a compressed timeline, reduced tenfold and extrapolated: a round every 10 minutes for
// the first 358 days, then the last week at a round every 25 s; upkeep runs along with the
// writes, with the default tiers. The raw tier and the minutes then hold a tenth of their rows at
// the real rate (a round every 2.5 s; a minute row per minute): the figure adds the other nine
// tenths at the bytes per row measured (an upper bound: the last week's minutes are whole
// already). Hourly rows are made whole, and only they grow after a
// year.
TEST(HistoryTiers, AYearOfOneDeviceStaysUnderOneGigabyte) {
  const std::string path = klx_test::scratch_path("year.db");
  auto db = open_db(path);
  PlantValues v;
  v.modules.assign(12, 10.0f);
  const int64_t week_start = kT0 + 358 * 86400LL, end = week_start + 7 * 86400;
  for (int64_t t = kT0; t < end; t += t < week_start ? 600 : 25) {
    v.dc_voltage = 53.0f + static_cast<float>(t % 7) * 0.1f;
    save(*db, t, v);
    if (t % 21600 < 600) settle(*db, t);
  }
  settle(*db, end);
  const auto bytes_of = [&](const char* names) {
    return count(path, std::string("SELECT sum(pgsize) FROM dbstat WHERE name IN (") + names + ")");
  };
  const int64_t raw = bytes_of("'history', 'history_by_device'");
  const int64_t minutes = bytes_of("'history_minute'"), hours = bytes_of("'history_hour'");
  const int64_t year = db->used_bytes() + 9 * raw + 9 * minutes;
  const int64_t five_years = year + 4 * hours;
  std::printf(
      "measured %lld bytes (raw %lld, minutes %lld, hours %lld); a year at the real rate "
      "%lld bytes, five years %lld bytes\n",
      static_cast<long long>(db->used_bytes()), static_cast<long long>(raw),
      static_cast<long long>(minutes), static_cast<long long>(hours), static_cast<long long>(year),
      static_cast<long long>(five_years));
  EXPECT_NEAR(count(path, "SELECT count(*) FROM history"), 7 * 86400 / 25, 200);
  EXPECT_NEAR(count(path, "SELECT count(*) FROM history_minute"), 83 * 144 + 7 * 1440, 300);
  EXPECT_NEAR(count(path, "SELECT count(*) FROM history_hour"), 365 * 24, 48);
  EXPECT_LT(year, 1LL << 30);
  EXPECT_LT(five_years, 1LL << 30);
}

TEST(HistoryTrends, AnswersFromTheTierThatFitsTheRangeWithinThePointBudget) {
  const std::string path = klx_test::scratch_path("trends.db");
  auto db = open_db(path);
  for (int64_t t = 0; t < 3 * 86400; t += 30) {
    PlantValues v;
    v.dc_voltage = t < 86400 ? 50.0f : 54.0f;
    save(*db, kT0 + t, v);
  }
  klx::AlarmTransition raise{true, 1, "k", "419610401001", "", "Mains failure"};
  db->save_alarm(7, kT0 + 3600, raise);
  settle(*db, kT0 + 3 * 86400);
  std::string error;
  auto reader = klx::TrendReader::open(path, error);
  ASSERT_TRUE(reader) << error;
  const struct {
    int64_t span;
    const char* tier;
  } cases[] = {{3600, "raw"}, {86400, "minute"}, {2 * 86400, "minute"}};
  for (const auto& c : cases) {
    klx::TrendRequest r{7, kT0 + 3 * 86400 - c.span, kT0 + 3 * 86400, klx::series::defaults(), 500};
    const klx::TrendAnswer a = reader->query(r);
    EXPECT_EQ(a.tier, c.tier) << c.span;
    EXPECT_LE(a.time.size(), 501u) << c.span;
    EXPECT_GT(a.time.size(), 100u) << c.span;
  }
  klx::TrendRequest all{7, kT0, kT0 + 3 * 86400, {kDcV}, 2000};
  const klx::TrendAnswer a = reader->query(all);
  EXPECT_EQ(a.tier, "minute");
  ASSERT_EQ(a.alarms.size(), 1u);
  EXPECT_EQ(a.alarms[0].name, "Mains failure");
  EXPECT_FLOAT_EQ(a.series[0].min.front(), 50);
  EXPECT_FLOAT_EQ(a.series[0].max.back(), 54);
  const std::string csv = klx::trend_csv(a);
  EXPECT_EQ(csv.substr(0, csv.find('\n')), "time,dc.voltage.min,dc.voltage.mean,dc.voltage.max");
}

TEST(HistoryApi, QueryParametersAreCheckedAndBounded) {
  const struct {
    const char* query;
    bool ok;
  } cases[] = {
      {"data_id=7", true},
      {"data_id=7&from=100&to=200&series=dc.voltage%2Crc.current&format=csv&points=10", true},
      {"", false},
      {"data_id=-1", false},
      {"data_id=99999999999", false},
      {"data_id=7&from=300&to=200", false},
      {"data_id=7&from=0&to=999999999999", false},  // beyond ten years in one answer
      {"data_id=7&series=dc.voltage,nope", false},
      {"data_id=7&series=", false},
      {"data_id=7&format=xml", false},
      {"data_id=7&points=0", false},
      {"data_id=7&points=2001", false},
      {"data_id=7&data_id=8", false},
      {"data_id=7&drop=table", false},
      {"data_id=7%", false},
  };
  for (const auto& c : cases) {
    klx::TrendRequest r;
    bool csv = false;
    std::string error;
    EXPECT_EQ(klxhost::parse_history_query(c.query, 1700000000, r, csv, error), c.ok)
        << c.query << ": " << error;
  }
  klx::TrendRequest r;
  bool csv = false;
  std::string error;
  ASSERT_TRUE(klxhost::parse_history_query("data_id=7", 1700000000, r, csv, error));
  EXPECT_EQ(r.to - r.from, 86400);
  EXPECT_EQ(r.series, klx::series::defaults());
}

TEST(HistoryConfig, TiersAndCapAreReadAndBounded) {
  const auto site = [](const std::string& history) {
    return klxhost::parse_site_config(R"({"devices": [{"data_id": 1}])" +
                                          (history.empty() ? "" : ", \"history\": " + history) +
                                          "}",
                                      "c.json");
  };
  const klx::HistoryPolicy p =
      site(R"({"raw_days": 2, "minute_days": 30, "hour_days": 730, "max_bytes": 5000000})").history;
  EXPECT_EQ(p.raw_seconds, 2 * 86400);
  EXPECT_EQ(p.minute_seconds, 30 * 86400);
  EXPECT_EQ(p.longest(), 730 * 86400);
  EXPECT_EQ(p.max_bytes, 5000000);
  EXPECT_EQ(site("").history.raw_seconds, 7 * 86400);
  for (const char* bad : {"[]", R"({"raw_days": 0})", R"({"raw_days": 1.5})", R"({"keep": 1})",
                          R"({"max_bytes": 1000})", R"({"max_bytes": -1})"})
    EXPECT_THROW(site(bad), klxhost::ConfigError) << bad;
}

}  // namespace

#endif  // KLX_HAVE_RUNNER
