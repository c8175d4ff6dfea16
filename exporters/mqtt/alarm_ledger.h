#pragma once

// Alarm transitions from the moment they happen until the broker acknowledges them, and the
// raise of every active alarm, each with a sequence number that grows over restarts (a consumer
// drops a number it has seen). With a history database every change is written through at once,
// so that a restart, even after a crash, sends what was not delivered and knows the raise (and
// its number) of what is still active.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "klx/store.h"

namespace klxhost {

class AlarmLedger {
 public:
  using Entry = klx::HistoryDb::OutboxAlarm;

  // `db` may be null: nothing outlives the process. `now` seeds the sequence numbers (in
  // microseconds), so that they keep growing over restarts without a database too.
  AlarmLedger(klx::HistoryDb* db, int64_t now);

  // What a previous run left undelivered, in order (already counted as pending).
  std::vector<Entry> load();
  // A new transition, numbered and pending.
  Entry add(uint32_t data_id, int64_t time, const klx::AlarmTransition& t);
  // Acknowledged by the broker, or dropped: no longer pending.
  void finished(uint64_t seq);
  // The raise of an active alarm, or null when the ledger does not know it.
  const Entry* active(uint32_t data_id, const std::string& key) const;
  size_t pending() const { return pending_.size(); }
  // Rows the database refused (a full disk) are written again, and the removals it refused made
  // again: called once a second and at a stop.
  void retry();
  // Pending transitions whose row the database does not have yet.
  size_t pending_unstored() const;

 private:
  using Key = std::pair<uint32_t, std::string>;
  void keep(const Entry& e);
  void drop(uint64_t seq);
  void drop_if_done(const Entry& e);
  void warn(const std::string& error);

  klx::HistoryDb* db_;
  uint64_t next_seq_;
  std::map<uint64_t, Entry> pending_;
  std::map<Key, Entry> active_;
  std::map<uint64_t, Entry> unstored_;  // by sequence number: the latest version of the row
  std::set<uint64_t> unremoved_;
  std::string last_warning_;
};

}  // namespace klxhost
