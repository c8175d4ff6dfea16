#pragma once

// What waits for the broker, bounded: alarm transitions in order (the oldest give way when the
// queue is full, and are counted), and the latest message per topic for everything that only
// matters as its newest value (state, availability, discovery configs).

#include <cstddef>
#include <deque>
#include <map>
#include <string>

#include "topics.h"

namespace klxhost {

class Outbox {
 public:
  explicit Outbox(size_t max_ordered) : max_ordered_(max_ordered) {}

  // Kept in order; delivered before the latest-value messages.
  void put_ordered(MqttMessage m);
  // Replaces a message of the same topic that still waits.
  void put_latest(MqttMessage m);

  // The next message to hand over, or false when none waits; `ordered` says which kind it is.
  bool take(MqttMessage& out, bool& ordered);
  // A message that could not be handed over goes back in front.
  void give_back(MqttMessage m, bool ordered);

  size_t waiting() const { return ordered_.size() + latest_.size(); }
  // Ordered messages dropped since the last call.
  size_t take_dropped();

 private:
  size_t max_ordered_;
  std::deque<MqttMessage> ordered_;
  std::map<std::string, std::string> latest_;  // topic -> payload, all retained
  size_t dropped_ = 0;
};

}  // namespace klxhost
