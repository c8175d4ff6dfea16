#pragma once

// Report by exception: which values of a round go to the broker. A measured value goes when it
// moved beyond its deadband since it was last published, or when its heartbeat expired; a
// discrete value (a count, a state, a switch or alarm byte) goes at once on any change. No clock
// is read here: the caller passes the time, so tests move it by hand.

#include <map>
#include <optional>
#include <string>

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

// One published value: a number (absent when the plant did not report it) or a text.
struct PointValue {
  std::optional<double> number;
  std::string text;  // a discrete value's text ("running"); empty for a number
  bool operator==(const PointValue& o) const { return number == o.number && text == o.text; }
};

class ExceptionFilter {
 public:
  explicit ExceptionFilter(ExceptionSettings s) : s_(s) {}

  // True when `object` must be published now at `now_s` (seconds on any steady scale); the
  // value is then taken as published.
  bool offer(const std::string& object, Quantity q, const PointValue& v, double now_s);
  // Everything goes again at its next offer (a reconnection, a change of structure).
  void forget_all() { last_.clear(); }
  // A value that no longer exists.
  void forget(const std::string& object) { last_.erase(object); }

  const ExceptionSettings& settings() const { return s_; }

 private:
  struct Published {
    PointValue value;
    double at = 0;
  };
  bool moved(Quantity q, const PointValue& last, const PointValue& now) const;

  ExceptionSettings s_;
  std::map<std::string, Published> last_;
};

}  // namespace klxhost
