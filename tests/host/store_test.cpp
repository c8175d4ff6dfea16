// The host's store: latest records and the cache file, alarm state between batches, history.
#ifdef KLX_HAVE_STORE

#include "klx/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "support/full_disk.h"
#include "support/scratch.h"

namespace {

struct TempPath {
  std::string path;
  explicit TempPath(const std::string& name) : path(klx_test::scratch_path(name)) {
    std::remove(path.c_str());
  }
  ~TempPath() { std::remove(path.c_str()); }
};

std::vector<uint8_t> record_of(uint8_t fill, size_t n = 587) {
  return std::vector<uint8_t>(n, fill);
}

TEST(RecordCache, KeepsTheLatestRecordPerDataIdAndRestoresItFromTheFile) {
  TempPath file("cache.json");
  {
    klx::RecordCache cache(file.path);
    auto a = record_of(1), b = record_of(2), c = record_of(3);
    ASSERT_TRUE(cache.put(7, 5535, a.data(), a.size()));
    ASSERT_TRUE(cache.put(7, 5535, b.data(), b.size()));
    ASSERT_TRUE(cache.put(9, 5535, c.data(), c.size()));
    EXPECT_EQ(cache.latest(7)->record, b);
    EXPECT_EQ(cache.latest(8), nullptr);
  }
  klx::RecordCache again(file.path);
  std::string error;
  ASSERT_TRUE(again.load(error)) << error;
  ASSERT_NE(again.latest(7), nullptr);
  EXPECT_EQ(again.latest(7)->record, record_of(2));
  EXPECT_EQ(again.latest(7)->sp_id, 5535);
  EXPECT_EQ(again.latest(9)->record, record_of(3));
  // No temporary file is left beside the cache.
  EXPECT_NE(access((file.path + ".tmp." + std::to_string(getpid())).c_str(), F_OK), 0);
}

TEST(RecordCache, MissingFileIsEmptyAndDamagedFilesAreRefused) {
  TempPath file("damaged.json");
  klx::RecordCache missing(file.path);
  std::string error;
  EXPECT_TRUE(missing.load(error));
  const char* damaged[] = {
      "",
      "{",
      "[]",
      R"({"format":"other","records":[]})",
      R"({"format":"klx-record-cache","records":[{"data_id":1,"sp_id":5535,"record":"0"}]})",
      R"({"format":"klx-record-cache","records":[{"data_id":1,"sp_id":5535,"record":"zz"}]})",
      R"({"format":"klx-record-cache","records":[{"data_id":-1,"sp_id":5535,"record":"00"}]})",
      R"({"format":"klx-record-cache","records":[{"sp_id":5535,"record":"00"}]})",
  };
  for (const char* text : damaged) {
    std::ofstream(file.path) << text;
    klx::RecordCache cache(file.path);
    error.clear();
    EXPECT_FALSE(cache.load(error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(cache.latest(1), nullptr) << text;
  }
}

TEST(RecordCache, UnwritableDirectoryIsReportedNotFatal) {
  klx::RecordCache cache("/nonexistent-dir/cache.json");
  const auto r = record_of(1);
  EXPECT_FALSE(cache.put(1, 5535, r.data(), r.size()));
  EXPECT_FALSE(cache.last_error().empty());
  ASSERT_NE(cache.latest(1), nullptr);  // kept in memory all the same
}

rule_value rule(const std::string& key, bool active, int count = 1, int level = 1) {
  rule_value r;
  r.level = level;
  r.key = key;
  r.alarm_id = key;
  r.value = active ? 1.0 : 0.0;
  r.text1 = "1";
  r.text2 = "name";
  r.count = count;
  return r;
}

TEST(AlarmBook, RaisesOnceAndClearsOnce) {
  klx::AlarmBook book;
  EXPECT_TRUE(book.evaluate({rule("a", false)}).empty());
  auto t = book.evaluate({rule("a", true), rule("b", false)});
  ASSERT_EQ(t.size(), 1u);
  EXPECT_TRUE(t[0].raised);
  EXPECT_EQ(t[0].key, "a");
  EXPECT_EQ(t[0].text2, "name");
  EXPECT_TRUE(book.evaluate({rule("a", true)}).empty());
  EXPECT_EQ(book.active_count(), 1u);
  t = book.evaluate({rule("a", false)});
  ASSERT_EQ(t.size(), 1u);
  EXPECT_FALSE(t[0].raised);
  EXPECT_EQ(book.active_count(), 0u);
}

TEST(AlarmBook, CountIsTheNumberOfSuccessiveEvaluationsTheConditionMustHold) {
  klx::AlarmBook book;
  for (int i = 0; i < 99; ++i) EXPECT_TRUE(book.evaluate(rule("p", true, 100)).empty()) << i;
  EXPECT_TRUE(book.evaluate(rule("p", false, 100)).empty());  // interrupted: counting restarts
  for (int i = 0; i < 99; ++i) book.evaluate(rule("p", true, 100));
  EXPECT_FALSE(book.active("p"));
  ASSERT_EQ(book.evaluate(rule("p", true, 100)).size(), 1u);
  EXPECT_TRUE(book.active("p"));
}

TEST(AlarmBook, LevelZeroIsIgnored) {
  klx::AlarmBook book;
  EXPECT_TRUE(book.evaluate(rule("z", true, 1, 0)).empty());
  EXPECT_FALSE(book.active("z"));
}

int count_rows(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  const int n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

TEST(HistoryDb, StoresRecordsAlarmsAndReports) {
  TempPath file("history.db");
  std::string error;
  {
    auto db = klx::HistoryDb::open(file.path, error);
    ASSERT_TRUE(db) << error;
    const auto r = record_of(5);
    EXPECT_TRUE(db->save_record(7, 1700000000, r.data(), r.size()));
    EXPECT_TRUE(db->save_record(7, 1700000002, r.data(), r.size()));
    klx::AlarmTransition t{true,      2, "120600180010", "120600180010", "设备智能口通信状态告警",
                           "通信异常"};
    EXPECT_TRUE(db->save_alarm(7, 1700000003, t));
    EXPECT_TRUE(db->save_report(7, 1700000004, "419110100001", 220.5f));
    EXPECT_TRUE(db->save_report(7, 1700000004, "419110100002", std::nanf("")));
  }
  EXPECT_EQ(count_rows(file.path, "SELECT count(*) FROM history WHERE length(record) = 587"), 2);
  EXPECT_EQ(count_rows(file.path,
                       "SELECT count(*) FROM alarm_events WHERE event = 'raise' AND "
                       "text2 = '通信异常' AND level = 2"),
            1);
  EXPECT_EQ(count_rows(file.path, "SELECT count(*) FROM reports WHERE value IS NULL"), 1);
  // Opening again keeps what is there.
  ASSERT_TRUE(klx::HistoryDb::open(file.path, error));
  EXPECT_EQ(count_rows(file.path, "SELECT count(*) FROM history"), 2);
}

// A disk that fills holds writes back instead of losing them; when the queue is full, round
// records go before alarm events. A file-size limit stands in for the full disk.
TEST(HistoryDb, AFullDiskHoldsAlarmsBackUntilThereIsRoom) {
  TempPath file("full.db");
  std::string error;
  {
    auto db = klx::HistoryDb::open(file.path, error);
    ASSERT_TRUE(db) << error;
    db->set_queue_limit(3);
    const auto r = record_of(5);
    klx_test::FullDisk full;
    ASSERT_TRUE(full.ok());
    // Writes within the files' present size still succeed: fill them until one must grow them.
    for (int i = 0; i < 20000 && db->waiting() == 0; ++i)
      db->save_record(7, 1700000000 + i, r.data(), r.size());
    const klx::AlarmTransition t{true, 2, "k1", "k1", "value", "name"};
    db->save_alarm(7, 1700100000, t);
    for (int i = 0; i < 5; ++i) db->save_record(7, 1700100001 + i, r.data(), r.size());
    const size_t held = db->waiting();
    full.lift();
    ASSERT_EQ(held, 3u) << "the writes were not held back";
    EXPECT_EQ(db->finish(), 4u) << "four round records made room for the alarm";
    EXPECT_EQ(db->waiting(), 0u);
  }
  EXPECT_EQ(count_rows(file.path, "SELECT count(*) FROM alarm_events"), 1);
}

// A disk already full at start (a file-size limit of 0: no file may grow, so not even SQLite's
// -shm file can be made): a database of ours still opens with its alarm state, its writes wait
// for room, and a new database is told apart, as nothing of a previous run is in it.
TEST(HistoryDb, AFullDiskAtStartOpensOursAndTellsANewOneApart) {
  TempPath file("full-at-start.db"), fresh("fresh-on-full.db");
  std::string error;
  const klx::AlarmTransition t{true, 2, "k1", "k1", "value", "name"};
  const auto r = record_of(5);
  ASSERT_TRUE(klx::HistoryDb::open(file.path, error)->save_alarm(7, 1700000000, t));
  klx_test::FullDisk full;
  ASSERT_TRUE(full.ok());
  bool no_room = false;
  auto db = klx::HistoryDb::open(file.path, error, &no_room);
  std::vector<klx::AlarmTransition> active;
  size_t held = 0;
  if (db) {
    active = db->active_alarms(7, error);
    for (int i = 0; i < 50 && db->waiting() == 0; ++i)
      db->save_record(7, 1700000001 + i, r.data(), r.size());
    held = db->waiting();
  }
  bool fresh_no_room = false;
  const bool fresh_opened = klx::HistoryDb::open(fresh.path, error, &fresh_no_room) != nullptr;
  full.lift();
  ASSERT_TRUE(db) << error;
  EXPECT_FALSE(no_room);
  EXPECT_NE(db->take_warning().find("for this process alone"), std::string::npos);
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0].key, "k1");
  EXPECT_GT(held, 0u) << "a write went in on a full disk";
  EXPECT_EQ(db->finish(), 0u) << "the held rows were lost";
  db.reset();
  EXPECT_EQ(count_rows(file.path, "SELECT count(*) FROM history"), static_cast<int>(held));
  EXPECT_FALSE(fresh_opened);
  EXPECT_TRUE(fresh_no_room);
  std::remove((fresh.path + "-wal").c_str());
  std::remove((fresh.path + "-shm").c_str());
}

TEST(HistoryDb, UnopenablePathIsReported) {
  std::string error;
  EXPECT_FALSE(klx::HistoryDb::open("/nonexistent-dir/h.db", error));
  EXPECT_NE(error.find("/nonexistent-dir/h.db"), std::string::npos);
}

}  // namespace

#endif  // KLX_HAVE_STORE
