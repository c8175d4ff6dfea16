#include "alarm_ledger.h"

#include <algorithm>
#include <iostream>

#include "diag_line.h"

namespace klxhost {

AlarmLedger::AlarmLedger(klx::HistoryDb* db, int64_t now)
    : db_(db), next_seq_(static_cast<uint64_t>(std::max<int64_t>(now, 1)) * 1000000) {}

std::vector<AlarmLedger::Entry> AlarmLedger::load() {
  std::vector<Entry> rows, out;
  uint64_t last = 0;
  std::string error;
  if (!db_) return out;
  if (!db_->outbox_load(rows, last, error)) {
    warn(error);
    return out;
  }
  next_seq_ = std::max(next_seq_, last + 1);
  for (const Entry& e : rows) {
    if (e.pending) {
      pending_[e.seq] = e;
      out.push_back(e);
    }
    const Key k{e.data_id, e.transition.key};
    const auto it = active_.find(k);
    if (it != active_.end() && it->second.seq < e.seq) {
      const Entry old = it->second;
      active_.erase(it);
      drop_if_done(old);
    }
    if (e.transition.raised) active_[k] = e;
    drop_if_done(e);  // a delivered clear, or a stray row
  }
  return out;
}

AlarmLedger::Entry AlarmLedger::add(uint32_t data_id, int64_t time, const klx::AlarmTransition& t) {
  Entry e;
  e.seq = next_seq_++;
  e.data_id = data_id;
  e.time = time;
  e.pending = true;
  e.transition = t;
  pending_[e.seq] = e;
  keep(e);
  const Key k{data_id, t.key};
  const auto it = active_.find(k);
  if (it != active_.end()) {
    const Entry old = it->second;
    active_.erase(it);
    drop_if_done(old);
  }
  if (t.raised) active_[k] = e;
  return e;
}

void AlarmLedger::finished(uint64_t seq) {
  const auto it = pending_.find(seq);
  if (it == pending_.end()) return;
  Entry e = it->second;
  pending_.erase(it);
  e.pending = false;
  const auto a = active_.find({e.data_id, e.transition.key});
  if (a != active_.end() && a->second.seq == seq) {
    a->second.pending = false;
    keep(e);
  } else {
    drop(seq);
  }
}

const AlarmLedger::Entry* AlarmLedger::active(uint32_t data_id, const std::string& key) const {
  const auto it = active_.find({data_id, key});
  return it == active_.end() ? nullptr : &it->second;
}

// A row stays while it is pending or the raise of an active alarm.
void AlarmLedger::drop_if_done(const Entry& e) {
  if (pending_.count(e.seq)) return;
  const auto a = active_.find({e.data_id, e.transition.key});
  if (a != active_.end() && a->second.seq == e.seq) return;
  drop(e.seq);
}

void AlarmLedger::keep(const Entry& e) {
  std::string error;
  if (!db_) return;
  if (db_->outbox_put(e, error)) {
    unstored_.erase(e.seq);
    return;
  }
  unstored_[e.seq] = e;
  warn(error);
}

void AlarmLedger::drop(uint64_t seq) {
  std::string error;
  if (!db_) return;
  unstored_.erase(seq);
  // An earlier version of the row may be stored even when the latest was not.
  if (db_->outbox_remove(seq, error)) return;
  unremoved_.insert(seq);
  warn(error);
}

void AlarmLedger::retry() {
  std::string error;
  for (auto it = unstored_.begin(); it != unstored_.end();) {
    if (!db_->outbox_put(it->second, error)) return;
    it = unstored_.erase(it);
  }
  for (auto it = unremoved_.begin(); it != unremoved_.end();) {
    if (!db_->outbox_remove(*it, error)) return;
    it = unremoved_.erase(it);
  }
  last_warning_.clear();
}

size_t AlarmLedger::pending_unstored() const {
  size_t n = 0;
  for (const auto& u : unstored_) n += pending_.count(u.first);
  return n;
}

void AlarmLedger::warn(const std::string& error) {
  if (error == last_warning_) return;
  last_warning_ = error;
  DiagLine() << "klx-host: alarm outbox not stored: " << error << "\n";
}

}  // namespace klxhost
