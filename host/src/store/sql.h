#pragma once

// A prepared statement for the store's own short queries: prepared, bound, stepped, finalized.
#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace klx {
namespace sql {

struct Error : std::runtime_error {
  int rc;
  Error(const std::string& what, int code) : std::runtime_error(what), rc(code) {}
};

class Stmt {
 public:
  Stmt(sqlite3* db, const char* text) : db_(db) {
    const int rc = sqlite3_prepare_v2(db, text, -1, &st_, nullptr);
    if (rc != SQLITE_OK) throw Error(sqlite3_errmsg(db), rc);
  }
  ~Stmt() { sqlite3_finalize(st_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& bind(int at, int64_t v) { return sqlite3_bind_int64(st_, at, v), *this; }
  Stmt& bind_blob(int at, const std::string& v) {
    sqlite3_bind_blob(st_, at, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // The next row; false at the end. A failed step throws: an answer cut short must not pass
  // for a whole one.
  bool row() {
    const int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw Error(sqlite3_errmsg(db_), rc);
  }
  void run() {
    while (row()) {
    }
    sqlite3_reset(st_);
  }
  bool null(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
  int64_t i64(int col) const { return sqlite3_column_int64(st_, col); }
  double real(int col) const { return sqlite3_column_double(st_, col); }
  std::string text(int col) const {
    const auto* p = sqlite3_column_text(st_, col);
    return p ? reinterpret_cast<const char*>(p) : "";
  }
  const uint8_t* blob(int col, size_t& n) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st_, col));
    n = static_cast<size_t>(sqlite3_column_bytes(st_, col));
    return p;
  }
  void reset() { sqlite3_reset(st_); }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

inline void exec(sqlite3* db, const char* text) {
  char* msg = nullptr;
  const int rc = sqlite3_exec(db, text, nullptr, nullptr, &msg);
  if (rc == SQLITE_OK) return;
  const std::string what = msg ? msg : sqlite3_errmsg(db);
  sqlite3_free(msg);
  throw Error(what, rc);
}

// One write transaction: committed by commit(), rolled back when left otherwise.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { exec(db, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    exec(db_, "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

}  // namespace sql
}  // namespace klx
