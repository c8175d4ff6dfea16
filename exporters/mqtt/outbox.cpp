#include "outbox.h"

namespace klxhost {

void Outbox::put_ordered(MqttMessage m) {
  // The newest transition holds the alarm's current state: the oldest gives way.
  if (ordered_.size() >= max_ordered_) {
    ordered_.pop_front();
    ++dropped_;
  }
  ordered_.push_back(std::move(m));
}

void Outbox::put_latest(MqttMessage m) { latest_[m.topic] = std::move(m.payload); }

bool Outbox::take(MqttMessage& out, bool& ordered) {
  if (!ordered_.empty()) {
    out = std::move(ordered_.front());
    ordered_.pop_front();
    ordered = true;
    return true;
  }
  if (latest_.empty()) return false;
  auto it = latest_.begin();
  out = MqttMessage{it->first, std::move(it->second), true};
  latest_.erase(it);
  ordered = false;
  return true;
}

void Outbox::give_back(MqttMessage m, bool ordered) {
  if (ordered)
    ordered_.push_front(std::move(m));
  else
    latest_.emplace(m.topic, std::move(m.payload));  // a newer one that came meanwhile wins
}

size_t Outbox::take_dropped() {
  const size_t n = dropped_;
  dropped_ = 0;
  return n;
}

}  // namespace klxhost
