// The store's files in hostile places: paths that are not what they seem, another program's
// database, a database that someone reads or writes at the same time, and alarm state that must
// outlive a restart.
#ifdef KLX_HAVE_STORE

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "klx/store.h"
#include "round_script.h"
#include "run_host.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

// The first column of the first row, or "" (an error says what it was).
std::string query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    out = std::string("error: ") + sqlite3_errmsg(db);
  else if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
    out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

void exec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

const std::vector<uint8_t> kRecord(587, 0x5a);

// Each row: how the path is made, the option it is given to, and what the refusal says.
TEST(StorePaths, PathsThatAreNotOurFilesAreRefusedUnchanged) {
  if (run_host::binary().empty()) GTEST_SKIP() << "this build has no klx-host";
  const std::string dir = run_host::scratch_dir("bad_paths");
  run_host::write_file(dir + "/victim", "precious\n");
  exec(dir + "/other.db", "CREATE TABLE accounts (name TEXT); INSERT INTO accounts VALUES ('a')");
  exec(dir + "/marked.db", "PRAGMA application_id = 7; CREATE TABLE history (x)");
  fs::create_directory(dir + "/folder");
  fs::create_symlink(dir + "/victim", dir + "/link.json");
  const struct {
    const char* option;
    std::string path;
    const char* says;
  } rows[] = {
      {"--cache", dir + "/link.json", "is a symbolic link; give the path of the file itself"},
      {"--cache", "/dev/null", "/dev/null: exists and is not a regular file"},
      {"--cache", dir + "/folder", "exists and is not a regular file"},
      {"--db", dir + "/folder", "unable to open database file"},
      {"--db", dir + "/other.db", "belongs to another program (tables: accounts); not changed"},
      {"--db", dir + "/marked.db", "belongs to another program (application_id 7); not changed"},
      {"--db", "/dev/null", "/dev/null: exists and is not a regular file"},
  };
  for (const auto& row : rows) {
    const auto r = run_host::run({row.option, row.path, "--rounds", "1"});
    EXPECT_EQ(r.exit_code, 2) << row.path << "\n" << r.err;
    EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(run_host::read_file(dir + "/victim"), "precious\n");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_EQ(query(dir + "/other.db", "SELECT group_concat(name) FROM sqlite_master"), "accounts");
  EXPECT_EQ(query(dir + "/other.db", "PRAGMA journal_mode"), "delete");
  EXPECT_EQ(query(dir + "/marked.db", "SELECT count(*) FROM sqlite_master"), "1");
}

TEST(StorePaths, ReadOnlyDatabaseIsRefused) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes a read-only file all the same";
  const std::string path = klx_test::scratch_path("ro.db");
  std::string error;
  ASSERT_TRUE(klx::HistoryDb::open(path, error)) << error;
  chmod(path.c_str(), 0444);
  EXPECT_FALSE(klx::HistoryDb::open(path, error));
  EXPECT_NE(error.find("read-only"), std::string::npos) << error;
}

TEST(StorePaths, DatabaseOfOursFromBeforeTheMarkIsTakenAndMarked) {
  const std::string path = klx_test::scratch_path("old.db");
  exec(path,
       "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, time INTEGER NOT "
       "NULL, record BLOB NOT NULL); INSERT INTO history VALUES (1, 7, 1700000000, x'00')");
  std::string error;
  auto db = klx::HistoryDb::open(path, error);
  ASSERT_TRUE(db) << error;
  EXPECT_TRUE(db->save_record(7, 1700000002, kRecord.data(), kRecord.size()));
  db.reset();
  EXPECT_EQ(query(path, "PRAGMA application_id"), std::to_string(0x4B4C5848));
  EXPECT_EQ(query(path, "PRAGMA user_version"), "2");
  EXPECT_EQ(query(path, "SELECT count(*) FROM history"), "2");
}

// What could not be stored is counted, shown at exit and makes the exit code 1; the warning
// names the cache, not its temporary file.
TEST(StorePaths, StorageFailuresAreCountedAndEndInExitOne) {
  if (run_host::binary().empty()) GTEST_SKIP() << "this build has no klx-host";
  const struct {
    std::vector<std::string> args;
    const char* says;
  } rows[] = {
      {{"--trace", "/dev/full"}, "klx-host: trace: 0 lines written, "},
      {{"--capture", "/dev/full"}, "klx-host: capture: 0 lines written, "},
      {{"--cache", "/proc/klx-cache.json"}, "cache not stored: /proc/klx-cache.json: "},
      {{"--cache", "/proc/klx-cache.json"}, "klx-host: cache: 0 writes, 1 failed"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--rounds", "1"});
    const auto r = run_host::run(args);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("XXXXXX"), std::string::npos) << r.err;
  }
}

// A planted link at any name the temporary file might take is never written through.
TEST(StorePaths, CacheWriteFollowsNoPlantedLink) {
  const std::string dir = run_host::scratch_dir("planted");
  const std::string cache = dir + "/cache.json";
  run_host::write_file(dir + "/victim", "precious\n");
  fs::create_symlink(dir + "/victim", cache + ".tmp." + std::to_string(getpid()));
  klx::RecordCache c(cache);
  ASSERT_TRUE(c.put(1, 5535, kRecord.data(), kRecord.size())) << c.last_error();
  EXPECT_EQ(run_host::read_file(dir + "/victim"), "precious\n");
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir))
    files += e.is_regular_file() && !e.is_symlink() ? 1 : 0;
  EXPECT_EQ(files, 2u);  // the victim and the cache: no temporary file left behind
  EXPECT_EQ(fs::status(cache).permissions() & fs::perms::others_read, fs::perms::others_read);
}

// A reader holding a statement open (klx-history in a pager) does not stop the writes; another
// writer holding the database makes them wait in the queue, and a full queue drops its oldest.
TEST(HistoryDbConcurrency, ReaderDoesNotBlockAndBusyWritesWaitInABoundedQueue) {
  const std::string path = klx_test::scratch_path("busy.db");
  std::string error;
  auto db = klx::HistoryDb::open(path, error);
  ASSERT_TRUE(db) << error;
  ASSERT_TRUE(db->save_record(7, 1, kRecord.data(), kRecord.size()));

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  sqlite3_stmt* reading = nullptr;
  sqlite3_prepare_v2(other, "SELECT id FROM history", -1, &reading, nullptr);
  ASSERT_EQ(sqlite3_step(reading), SQLITE_ROW);
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(db->save_record(7, 2 + i, kRecord.data(), kRecord.size())) << db->last_error();
  EXPECT_EQ(db->counters().stored, 6u);
  sqlite3_finalize(reading);

  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  db->set_queue_limit(2);
  EXPECT_TRUE(db->save_record(7, 10, kRecord.data(), kRecord.size()));
  EXPECT_TRUE(db->save_alarm(7, 11, klx::AlarmTransition{true, 1, "k", "k", "1", "x"}));
  EXPECT_EQ(db->waiting(), 2u);
  EXPECT_FALSE(db->save_record(7, 12, kRecord.data(), kRecord.size()));
  EXPECT_NE(db->last_error().find("database is locked; 2 writes waiting, the oldest dropped"),
            std::string::npos)
      << db->last_error();
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  EXPECT_EQ(db->finish(), 1u);
  EXPECT_EQ(db->counters().stored, 9u);  // 6, the alarm's event and state, the last record
  EXPECT_EQ(query(path, "SELECT group_concat(time) FROM history"), "1,2,3,4,5,6,12");
  std::string why;
  EXPECT_EQ(db->active_alarms(7, why).size(), 1u) << why;
}

// An alarm active at a restart is not raised again; one that ended while the host was down is
// cleared in the first round that evaluates it.
TEST(AlarmState, SurvivesARestartAndClearsWhenTheConditionIsGone) {
  if (run_host::binary().empty()) GTEST_SKIP() << "this build has no klx-host";
  const auto fast = run_host::fast_clock_env(50);
  if (fast.empty()) GTEST_SKIP() << "libfaketime is not installed";
  const std::string dir = run_host::scratch_dir("alarm_state");
  run_host::write_file(dir + "/round.jsonl", round_script::replay_text());
  const auto run_with_high = [&](const char* high) {
    std::string config = round_script::config_json("replay:" + dir + "/round.jsonl");
    config.replace(
        config.find("\"ao_settings\""), 0,
        std::string(R"("limits":{"419610401001":{"low":180,"high":)") + high + R"(,"level":2}},)");
    run_host::write_file(dir + "/config.json", config);
    return run_host::run(
        {"--config", dir + "/config.json", "--rounds", "1", "--db", dir + "/history.db"}, fast);
  };
  const std::string raised = "data_id 7: alarm raised: level 2 key 419610401001";
  auto r = run_with_high("220");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find(raised), std::string::npos) << r.err;
  r = run_with_high("220");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find(raised), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("data_id 7: 1 active alarms restored from the database"), std::string::npos)
      << r.err;
  r = run_with_high("300");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("data_id 7: alarm cleared: level 2 key 419610401001"), std::string::npos)
      << r.err;
  const std::string db = dir + "/history.db";
  EXPECT_EQ(query(db, "SELECT group_concat(event) FROM alarm_events"), "raise,clear");
  EXPECT_EQ(query(db, "SELECT count(*) FROM alarm_state"), "0");
}

}  // namespace

#endif  // KLX_HAVE_STORE
