// klx-record: the 587-byte record as named fields, from a cache file, a hex string or a row of the
// history database; and, with --encode, a record built from those fields (to craft a cache).
#include <CLI/CLI.hpp>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "cli_exit.h"
#include "klx/hex.h"
#include "klx/json_read.h"
#include "record_input.h"
#include "record_json.h"

namespace {

struct Options {
  std::string file, hex, db, encode, out;
  long row = -1;
  long data_id = -1;
  bool table = false;
};

korvantis_419_Data_t as_record(const std::vector<uint8_t>& bytes) {
  korvantis_419_Data_t rec;
  std::memcpy(static_cast<void*>(&rec), bytes.data(), sizeof rec);
  return rec;
}

std::vector<uint8_t> load(const Options& o) {
  if (!o.hex.empty()) return record_input::from_hex(o.hex);
  if (!o.db.empty()) return record_input::from_db(o.db, o.row);
  return record_input::from_file(o.file, o.data_id);
}

int encode(const Options& o) {
  std::string text, errors;
  if (!klx::read_file_capped(o.encode, record_input::kMaxFile, text, errors))
    throw std::runtime_error("cannot read " + o.encode + ": " + errors);
  Json::Value root;
  if (!klx::parse_json(text, root, errors))
    throw std::runtime_error(o.encode + ": not valid JSON: " + errors);
  const korvantis_419_Data_t rec = record_json::from_json(root);
  const auto* p = reinterpret_cast<const uint8_t*>(&rec);
  if (!o.out.empty()) {
    std::ofstream out(o.out, std::ios::binary);
    if (!out.write(reinterpret_cast<const char*>(p), sizeof rec))
      throw std::runtime_error("cannot write " + o.out);
    return 0;
  }
  std::cout << klx::to_hex(p, sizeof rec) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Shows the power-system record (587 bytes) as named fields."};
  Options o;
  auto* source = app.add_option_group("source", "where the record comes from");
  source->add_option("file", o.file, "a raw record, or the host's record cache");
  source->add_option("--hex", o.hex, "the record as hex digits");
  auto* db = source->add_option("--db", o.db, "a history database");
  source->add_option("--encode", o.encode, "build a record from JSON fields; prints its hex");
  source->require_option(1);
  app.add_option("--row", o.row, "history row id with --db (default: the latest)")->needs(db);
  app.add_option("--data-id", o.data_id, "the device's record in a cache of several");
  app.add_option("-o,--out", o.out, "with --encode: write the raw record to this file");
  app.add_flag("--table", o.table, "an aligned text table instead of JSON");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return klxcli::exit_code(app, e);
  }

  try {
    if (!o.encode.empty()) return encode(o);
    const korvantis_419_Data_t rec = as_record(load(o));
    if (o.table)
      std::cout << record_json::to_table(rec);
    else
      std::cout << record_json::to_text(record_json::to_json(rec)) << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "klx-record: " << e.what() << "\n";
    return 1;
  }
}
