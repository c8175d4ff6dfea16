#pragma once

// What waits for the broker, bounded: alarm transitions in order (the oldest give way when the
// queue is full, and are counted), and the latest message per topic for everything that only
// matters as its newest value (state, availability, discovery configs).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "topics.h"

namespace klxhost {

class Outbox {
 public:
  explicit Outbox(size_t max_ordered) : max_ordered_(max_ordered) {}

  // Kept in order; delivered before the latest-value messages. `tag` (non-zero) names the
  // message to its sender when it is dropped.
  void put_ordered(MqttMessage m, uint64_t tag = 0);
  // Replaces a message of the same topic that still waits.
  void put_latest(MqttMessage m);
  // A latest-value message of this topic that still waits is no longer wanted.
  void drop_latest(const std::string& topic) { latest_.erase(topic); }

  // The next message to hand over, or false when none waits; `ordered` says which kind it is,
  // `tag` the ordered message's tag.
  bool take(MqttMessage& out, bool& ordered, uint64_t& tag);
  // A message that could not be handed over goes back in front.
  void give_back(MqttMessage m, bool ordered, uint64_t tag);

  size_t waiting() const { return ordered_.size() + latest_.size(); }
  // Ordered messages dropped since the last call, and their non-zero tags.
  size_t take_dropped(std::vector<uint64_t>* tags = nullptr);

 private:
  struct Ordered {
    MqttMessage m;
    uint64_t tag = 0;
  };
  size_t max_ordered_;
  std::deque<Ordered> ordered_;
  std::map<std::string, std::string> latest_;  // topic -> payload, all retained
  size_t dropped_ = 0;
  std::vector<uint64_t> dropped_tags_;
};

}  // namespace klxhost
