// klx-history-bench: what the history's upkeep costs the poll loop, and how fast trends are read.
//
//   klx-history-bench [DIR]   (default /tmp; two databases are written there and removed)
//
// 1. Writes under upkeep: a database holding two days of rounds never aggregated (an upgraded
//    one), 20,000 more rounds without upkeep (the baseline), then 20,000 rounds each saved and
//    followed by maintain() as the runner calls it on its loop passes; the times of the writes
//    and of the upkeep slices.
// 2. Reads: 97 days of one device at a round a minute (40 modules), then /api/history's
//    queries for 1 hour, 24 hours, 7 days and 90 days, each 20 times.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "klx/history_query.h"
#include "klx/history_series.h"
#include "klx/site_model.h"
#include "klx/store.h"
#include "support/plant_record.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kStart = 1700000040;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

void show(const char* what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * v.size()))]; };
  const auto over = std::count_if(v.begin(), v.end(), [](double ms) { return ms > 5; });
  std::printf("%-28s n %6zu  p50 %7.3f  p99 %7.3f  p99.9 %7.3f  max %7.3f ms; over 5 ms: %ld\n",
              what, v.size(), at(0.5), at(0.99), at(0.999), v.back(), static_cast<long>(over));
}

std::unique_ptr<klx::HistoryDb> fresh(const std::string& path) {
  unlink(path.c_str());
  unlink((path + "-wal").c_str());
  unlink((path + "-shm").c_str());
  std::string error;
  auto db = klx::HistoryDb::open(path, error);
  if (!db) std::fprintf(stderr, "%s\n", error.c_str()), std::exit(2);
  klx::DeviceLayout layout;
  layout.has_dc = true;
  db->set_layout(7, layout);
  return db;
}

PlantValues values(int64_t t) {
  PlantValues v;
  v.modules.assign(40, 10.0f + static_cast<float>(t % 13) * 0.1f);
  v.dc_voltage = 53.0f + static_cast<float>(t % 7) * 0.1f;
  return v;
}

void writes_under_upkeep(const std::string& path) {
  auto db = fresh(path);
  int64_t t = kStart;
  for (; t < kStart + 2 * 86400; t += 3) {  // the backlog: rounds of an upgraded database
    const auto r = plant_record(values(t));
    db->save_record(7, t, r.data(), r.size());
  }
  std::vector<double> writes, slices;
  for (int i = 0; i < 20000; ++i, t += 3) {  // the same load without upkeep: the baseline
    const auto r = plant_record(values(t));
    const auto at = Clock::now();
    db->save_record(7, t, r.data(), r.size());
    writes.push_back(ms_since(at));
  }
  show("write, no upkeep", writes);
  writes.clear();
  size_t busy_slices = 0;
  for (int i = 0; i < 20000; ++i, t += 3) {
    const auto r = plant_record(values(t));
    auto at = Clock::now();
    db->save_record(7, t, r.data(), r.size());
    writes.push_back(ms_since(at));
    at = Clock::now();
    busy_slices += db->maintain(t);
    slices.push_back(ms_since(at));
  }
  show("write, upkeep between", writes);
  show("upkeep slice (budget 2 ms)", slices);
  std::printf("slices that left work for the next: %zu of %zu\n", busy_slices, slices.size());
}

void reads(const std::string& path) {
  auto db = fresh(path);
  const int64_t end = kStart + 97 * 86400;
  for (int64_t t = kStart; t < end; t += 60) {
    const auto r = plant_record(values(t));
    db->save_record(7, t, r.data(), r.size());
    if (t % 3600 == 0) db->maintain(t, std::chrono::seconds(10));
  }
  while (db->maintain(end, std::chrono::seconds(10))) {
  }
  std::printf("read database: %lld bytes\n", static_cast<long long>(db->used_bytes()));
  std::string error;
  auto reader = klx::TrendReader::open(path, error);
  const struct {
    const char* what;
    int64_t span;
  } ranges[] = {{"query 1 h (raw)", 3600},
                {"query 24 h", 86400},
                {"query 7 d", 7 * 86400},
                {"query 90 d", 90 * 86400}};
  for (const auto& r : ranges) {
    std::vector<double> times;
    size_t points = 0;
    std::string tier;
    for (int i = 0; i < 20; ++i) {
      const auto at = Clock::now();
      klx::TrendRequest q{7, end - r.span, end, klx::series::defaults(), 2000};
      const klx::TrendAnswer a = reader->query(q);
      const std::string json = klx::trend_json(q, a);
      times.push_back(ms_since(at));
      points = a.time.size();
      tier = a.tier;
    }
    std::printf("%s: tier %s, %zu points; ", r.what, tier.c_str(), points);
    show("with JSON", times);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const std::string a = dir + "/klx-history-bench-writes.db",
                    b = dir + "/klx-history-bench-reads.db";
  writes_under_upkeep(a);
  reads(b);
  for (const std::string& p : {a, b})
    for (const char* s : {"", "-wal", "-shm"}) unlink((p + s).c_str());
  return 0;
}
