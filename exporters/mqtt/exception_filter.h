#pragma once

// Report by exception: which values of a round go to the broker. A measured value goes when it
// moved beyond its deadband since it was last published, or when its heartbeat expired; a
// discrete value (a count, a state, a switch or alarm byte) goes at once on any change. No clock
// is read here: the caller passes the time, so tests move it by hand.

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace klxhost {

// What a value measures, for its deadband.
enum class Quantity { ac_voltage, dc_voltage, frequency, current, power, discrete };

// Deadbands per quantity; a measured value's band is its absolute one or its percentage of the
// last published value, whichever is larger. All zero: every value in every round.
struct Deadbands {
  double ac_voltage = 1.0;   // V
  double dc_voltage = 0.2;   // V, the shelf's output and the DC panels
  double frequency = 0.05;   // Hz
  double current = 0.5;      // A
  double current_pct = 2.0;  // % of the value
  double power = 25.0;       // W
  double power_pct = 2.0;    // % of the value
};

struct ExceptionSettings {
  Deadbands deadband;
  double heartbeat_s = 300;  // every measured value again after this long; 0: every round
  // The state document and the discrete values again after this long; 0: every round. They are
  // exact when sent (nothing drifts inside a band), so their repetition only guards a consumer
  // that lost a retained message, and an hour keeps a 40-module shelf under 1 MB a day.
  double state_heartbeat_s = 3600;
};

// The band of a measured value around `last`.
double deadband_of(const Deadbands& d, Quantity q, double last);

// One published value: a number (absent when the plant did not report it) or a text, one of the
// model's own names ("running"), which outlive any value.
struct PointValue {
  std::optional<double> number;
  const char* text = nullptr;
  bool operator==(const PointValue& o) const {
    return number == o.number &&
           (text == o.text || (text && o.text && std::strcmp(text, o.text) == 0));
  }
};

// Values are addressed by their place in the device's list of objects, so that a round costs no
// lookup by name; `reshape` carries what was published over to a new list, by object.
class ExceptionFilter {
 public:
  explicit ExceptionFilter(ExceptionSettings s) : s_(s) {}

  // The objects now in use, in the order `offer` addresses them. An object that is no longer in
  // the list is forgotten; one that stays keeps what was published of it.
  void reshape(const std::vector<std::string>& objects);
  // True when value `index` of the list must be published now at `now_s` (seconds on any steady
  // scale); the value is then taken as published.
  bool offer(size_t index, Quantity q, const PointValue& v, double now_s);
  // Everything goes again at its next offer (a reconnection).
  void forget_all();

  const ExceptionSettings& settings() const { return s_; }

 private:
  struct Published {
    PointValue value;
    double at = 0;
  };
  bool moved(Quantity q, const PointValue& last, const PointValue& now) const;

  ExceptionSettings s_;
  std::vector<std::string> objects_;
  std::vector<std::optional<Published>> last_;  // by index in objects_
};

}  // namespace klxhost
