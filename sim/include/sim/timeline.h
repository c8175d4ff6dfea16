#pragma once

#include <cstddef>
#include <vector>

#include "sim/model.h"

// The model's scheduled events, played against a time that the caller supplies (seconds from the
// simulator's start). Nothing here reads a clock, so tests move time by hand.
namespace sim {

class Timeline {
 public:
  explicit Timeline(std::vector<Event> events);

  // Applies, in time order, every start and end due at or before `t`, then sets the values of
  // ramps in progress for `t`. Time never runs backwards here: an earlier `t` changes nothing.
  void advance(Model& m, double t);

  // Events started so far (tests and the program's log).
  size_t started() const { return started_; }

 private:
  struct Action {
    double at;
    size_t event;
    bool end;
  };
  struct Ramp {
    size_t panel;
    float from, to;
    double start, duration;
  };

  void start(Model& m, size_t i);
  void end(Model& m, size_t i);
  void update_ramps(Model& m, double t);

  std::vector<Event> events_;
  std::vector<Action>
      actions_;  // by time; at one time ends go first, so a new event outlasts an old one
  std::vector<uint8_t> saved_;  // per event: the byte it replaced, restored at its end
  std::vector<Ramp> ramps_;
  size_t next_ = 0;
  size_t started_ = 0;
  double now_ = 0.0;
};

}  // namespace sim
