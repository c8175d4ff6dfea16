#include "outbox.h"

namespace klxhost {

void Outbox::put_ordered(MqttMessage m, uint64_t tag) {
  // The newest transition holds the alarm's current state: the oldest gives way.
  if (ordered_.size() >= max_ordered_) {
    if (ordered_.front().tag) dropped_tags_.push_back(ordered_.front().tag);
    ordered_.pop_front();
    ++dropped_;
  }
  ordered_.push_back({std::move(m), tag});
}

void Outbox::put_latest(MqttMessage m) { latest_[m.topic] = std::move(m.payload); }

bool Outbox::take(MqttMessage& out, bool& ordered, uint64_t& tag) {
  if (!ordered_.empty()) {
    out = std::move(ordered_.front().m);
    tag = ordered_.front().tag;
    ordered_.pop_front();
    ordered = true;
    return true;
  }
  if (latest_.empty()) return false;
  auto it = latest_.begin();
  out = MqttMessage{it->first, std::move(it->second), true};
  latest_.erase(it);
  ordered = false;
  tag = 0;
  return true;
}

void Outbox::give_back(MqttMessage m, bool ordered, uint64_t tag) {
  if (ordered)
    ordered_.push_front({std::move(m), tag});
  else
    latest_.emplace(m.topic, std::move(m.payload));  // a newer one that came meanwhile wins
}

size_t Outbox::take_dropped(std::vector<uint64_t>* tags) {
  const size_t n = dropped_;
  dropped_ = 0;
  if (tags) tags->insert(tags->end(), dropped_tags_.begin(), dropped_tags_.end());
  dropped_tags_.clear();
  return n;
}

}  // namespace klxhost
