#include "exception_filter.h"

#include <algorithm>
#include <cmath>

namespace klxhost {
namespace {

double relative(double pct, double last) { return std::fabs(last) * pct / 100.0; }

}  // namespace

double deadband_of(const Deadbands& d, Quantity q, double last) {
  switch (q) {
    case Quantity::ac_voltage:
      return d.ac_voltage;
    case Quantity::dc_voltage:
      return d.dc_voltage;
    case Quantity::frequency:
      return d.frequency;
    case Quantity::current:
      return std::max(d.current, relative(d.current_pct, last));
    case Quantity::power:
      return std::max(d.power, relative(d.power_pct, last));
    case Quantity::discrete:
      return 0;
  }
  return 0;
}

bool ExceptionFilter::moved(Quantity q, const PointValue& last, const PointValue& now) const {
  if (q == Quantity::discrete || !last.number || !now.number) return !(last == now);
  const double band = deadband_of(s_.deadband, q, *last.number);
  const double delta = std::fabs(*now.number - *last.number);
  // A band of 0 passes every value, changed or not: the every-round mode.
  return band <= 0 ? true : delta > band;
}

void ExceptionFilter::reshape(const std::vector<std::string>& objects) {
  std::vector<std::optional<Published>> last(objects.size());
  for (size_t i = 0; i < objects.size(); ++i)
    for (size_t j = 0; j < objects_.size(); ++j)
      if (objects_[j] == objects[i]) last[i] = std::move(last_[j]);
  objects_ = objects;
  last_ = std::move(last);
}

void ExceptionFilter::forget_all() {
  for (auto& l : last_) l.reset();
}

bool ExceptionFilter::offer(size_t index, Quantity q, const PointValue& v, double now_s) {
  if (index >= last_.size()) return true;  // not in the list: nothing to compare with
  std::optional<Published>& last = last_[index];
  const double heartbeat = q == Quantity::discrete ? s_.state_heartbeat_s : s_.heartbeat_s;
  bool send = !last || heartbeat <= 0 || moved(q, last->value, v);
  // A clock that went back counts as an expired heartbeat: better once too often than stale.
  if (!send) {
    const double age = now_s - last->at;
    send = age >= heartbeat || age < 0;
  }
  if (send) last = Published{v, now_s};
  return send;
}

}  // namespace klxhost
