// klx-history: the rounds and alarm transitions kept in the host's history database, for a time
// range, and chosen record fields over time as CSV for plotting.
#include <CLI/CLI.hpp>
#include <iostream>
#include <stdexcept>

#include "cli_exit.h"
#include "history_reader.h"
#include "history_views.h"

int main(int argc, char** argv) {
  CLI::App app{"Lists the rounds and alarm transitions of a history database."};
  std::string db_path, from, to;
  int64_t data_id = -1;
  bool alarms = false;
  std::vector<std::string> fields;
  app.add_option("--db", db_path, "the history database")->required();
  app.add_option("--from", from, "start: epoch seconds or YYYY-MM-DD [HH:MM[:SS]] (local time)");
  app.add_option("--to", to, "end, inclusive, in the same forms");
  app.add_option("--data-id", data_id, "one device only");
  app.add_flag("--alarms", alarms, "merge the alarm transitions in by time");
  app.add_option("--csv", fields, "export these record fields over time as CSV (repeatable)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return klxcli::exit_code(app, e);
  }

  HistoryRange range;
  try {
    if (!from.empty()) range.from = parse_time_arg(from);
    if (!to.empty()) range.to = parse_time_arg(to, true);
  } catch (const std::exception& e) {
    std::cerr << "klx-history: " << e.what() << "\n";
    return klxcli::kExitUsage;
  }
  range.data_id = data_id;
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
