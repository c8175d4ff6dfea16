// klx-history: the rounds and alarm transitions kept in the host's history database, for a time
// range, chosen record fields over time as CSV for plotting, and a device's trends (aggregated
// series, as /api/history gives them) as JSON or CSV.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <ctime>
#include <iostream>
#include <stdexcept>

#include "cli_exit.h"
#include "history_reader.h"
#include "history_views.h"
#include "klx/history_query.h"
#include "klx/history_series.h"

namespace {

// --series: the trends of one device from the tier that fits the range, at most --points
// buckets; JSON, or CSV with --csv.
int export_series(const std::string& path, const klx::TrendRequest& r, bool csv) {
  std::string error;
  auto reader = klx::TrendReader::open(path, error);
  if (!reader) {
    std::cerr << "klx-history: " << error << "\n";
    return 1;
  }
  const klx::TrendAnswer a = reader->query(r);
  std::cout << (csv ? klx::trend_csv(a) : klx::trend_json(r, a) + "\n");
  return 0;
}

bool series_request(const std::vector<std::string>& names, int64_t data_id, size_t points,
                    klx::TrendRequest& r, std::string& error) {
  if (data_id < 0) return error = "--series needs --data-id", false;
  if (r.from > r.to) return error = "--from is after --to", false;
  r.data_id = static_cast<uint32_t>(data_id);
  r.max_points = points;
  for (const std::string& n : names) {
    if (n == "default") {
      for (uint8_t id : klx::series::defaults()) r.series.push_back(id);
      continue;
    }
    const auto id = klx::series::id_of(n);
    if (!id) return error = "no series \"" + n + "\" (dc.voltage, ac1.a, rc.current, ...)", false;
    r.series.push_back(*id);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Lists the rounds and alarm transitions of a history database."};
  std::string db_path, from, to;
  int64_t data_id = -1;
  bool alarms = false;
  std::vector<std::string> fields, series;
  size_t points = 2000;
  app.add_option("--db", db_path, "the history database")->required();
  app.add_option("--from", from, "start: epoch seconds or YYYY-MM-DD [HH:MM[:SS]] (local time)");
  app.add_option("--to", to, "end, inclusive, in the same forms");
  app.add_option("--data-id", data_id, "one device only");
  app.add_flag("--alarms", alarms, "merge the alarm transitions in by time");
  app.add_option("--csv", fields,
                 "export these record fields over time as CSV (repeatable); with --series, "
                 "no value: the series as CSV")
      ->expected(0, 1 << 20);
  app.add_option("--series", series,
                 "trends of one device (--data-id): these series, comma-separated, or \"default\"")
      ->delimiter(',');
  app.add_option("--points", points, "with --series: buckets at most (1 to 2000)")
      ->check(CLI::Range(1, 2000));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return klxcli::exit_code(app, e);
  }

  // A bare --csv (with --series) leaves an empty value behind.
  fields.erase(std::remove(fields.begin(), fields.end(), std::string()), fields.end());
  HistoryRange range;
  try {
    if (!from.empty()) range.from = parse_time_arg(from);
    if (!to.empty()) range.to = parse_time_arg(to, true);
  } catch (const std::exception& e) {
    std::cerr << "klx-history: " << e.what() << "\n";
    return klxcli::kExitUsage;
  }
  range.data_id = data_id;
  if (series.empty() && fields.empty() && app.count("--csv")) {
    std::cerr << "klx-history: --csv needs record fields, or --series\n";
    return klxcli::kExitUsage;
  }
  if (!series.empty()) {
    klx::TrendRequest r;
    r.to = to.empty() ? std::time(nullptr) : range.to;
    r.from = from.empty() ? r.to - 86400 : range.from;
    std::string error;
    if (!series_request(series, data_id, points, r, error) || !fields.empty()) {
      std::cerr << "klx-history: " << (error.empty() ? "--csv takes no field with --series" : error)
                << "\n";
      return klxcli::kExitUsage;
    }
    try {
      return export_series(db_path, r, app.count("--csv") > 0);
    } catch (const std::exception& e) {
      std::cerr << "klx-history: " << e.what() << "\n";
      return 1;
    }
  }
  try {
    HistoryReader db(db_path);
    if (!fields.empty())
      history_views::csv(db, range, fields, std::cout, std::cerr);
    else
      history_views::list(db, range, alarms, std::cout);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "klx-history: " << e.what() << "\n";
    return 1;
  }
}
