#include "record_input.h"

#include <sqlite3.h>

#include <map>
#include <stdexcept>

#include "klx/hex.h"
#include "klx/json_read.h"
#include "klx/store.h"

namespace record_input {
namespace {


std::string read_file(const std::string& path) {
  std::string text, error;
  if (!klx::read_file_capped(path, kMaxFile, text, error))
    throw std::runtime_error("cannot read " + path + ": " + error);
  return text;
}

std::vector<uint8_t> from_cache(const std::map<uint32_t, klx::RecordCache::Entry>& entries,
                                const std::string& path, long data_id) {
  if (data_id >= 0) {
    const auto it = entries.find(static_cast<uint32_t>(data_id));
    if (it == entries.end())
      throw std::runtime_error(path + ": no record of data identifier " + std::to_string(data_id));
    return it->second.record;
  }
  if (entries.size() == 1) return entries.begin()->second.record;
  std::string ids;
  for (const auto& e : entries) ids += (ids.empty() ? "" : ", ") + std::to_string(e.first);
  throw std::runtime_error(path + ": the cache holds " + std::to_string(entries.size()) +
                           " records (data identifiers: " + (ids.empty() ? "none" : ids) +
                           "); choose one with --data-id");
}

}  // namespace

void check_size(const std::vector<uint8_t>& bytes, const std::string& what) {
  if (bytes.size() != kRecordSize)
    throw std::runtime_error(what + " holds " + std::to_string(bytes.size()) +
                             " bytes; a record is " + std::to_string(kRecordSize) + " bytes");
}

std::vector<uint8_t> from_file(const std::string& path, long data_id) {
  return from_blob(read_file(path), path, data_id);
}

std::vector<uint8_t> from_blob(const std::string& text, const std::string& what, long data_id) {
  std::map<uint32_t, klx::RecordCache::Entry> entries;
  std::string error;
  if (!text.empty() && text[0] == '{' && klx::RecordCache::parse(text, entries, error)) {
    auto record = from_cache(entries, what, data_id);
    check_size(record, what + " (record cache)");
    return record;
  }
  std::vector<uint8_t> bytes(text.begin(), text.end());
  check_size(bytes, what);
  return bytes;
}

std::vector<uint8_t> from_hex(const std::string& text) {
  std::vector<uint8_t> out;
  const klx::HexDecode r = klx::from_hex(text, out, true);
  if (r.error == klx::HexDecode::Error::kBadDigit)
    throw std::runtime_error(std::string("--hex: '") + text[r.at] + "' is not a hex digit");
  if (!r) throw std::runtime_error("--hex: an odd number of hex digits");
  check_size(out, "--hex");
  return out;
}

std::vector<uint8_t> from_db(const std::string& path, long row) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    const std::string why = db ? sqlite3_errmsg(db) : "cannot open";
    sqlite3_close(db);
    throw std::runtime_error(path + ": " + why);
  }
  const char* sql = row < 0 ? "SELECT record FROM history ORDER BY id DESC LIMIT 1"
                            : "SELECT record FROM history WHERE id = ?";
  sqlite3_stmt* st = nullptr;
  std::vector<uint8_t> record;
  std::string error;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    error = path + ": not a history database (" + sqlite3_errmsg(db) + ")";
  } else {
    if (row >= 0) sqlite3_bind_int64(st, 1, row);
    if (sqlite3_step(st) == SQLITE_ROW) {
      const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, 0));
      record.assign(p, p + sqlite3_column_bytes(st, 0));
    } else {
      error = path + ": no history row " + (row < 0 ? std::string("at all") : std::to_string(row));
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  if (!error.empty()) throw std::runtime_error(error);
  check_size(record, path + " row " + std::to_string(row));
  return record;
}

}  // namespace record_input
