#include "sim/timeline.h"

#include <algorithm>

namespace sim {
namespace {

Module* module_at(Model& m, int target) {
  auto& mods = m.rectifiers.modules;
  return target >= 1 && static_cast<size_t>(target) <= mods.size() ? &mods[target - 1] : nullptr;
}
AcLine* line_at(Model& m, int target) {
  auto& lines = m.ac.lines;
  return target >= 1 && static_cast<size_t>(target) <= lines.size() ? &lines[target - 1] : nullptr;
}
DcPanel* panel_at(Model& m, int target) {
  auto& panels = m.dc.panels;
  return target >= 1 && static_cast<size_t>(target) <= panels.size() ? &panels[target - 1]
                                                                     : nullptr;
}

uint8_t* switch_at(Model& m, int target) {
  auto& sw = m.ac.switches;
  return target >= 1 && static_cast<size_t>(target) <= sw.size() ? &sw[target - 1] : nullptr;
}

}  // namespace

Timeline::Timeline(std::vector<Event> events) : events_(std::move(events)) {
  saved_.assign(events_.size(), 0);
  for (size_t i = 0; i < events_.size(); ++i) {
    actions_.push_back({events_[i].at, i, false});
    if (events_[i].duration > 0 && events_[i].kind != Event::Kind::DcRamp)
      actions_.push_back({events_[i].at + events_[i].duration, i, true});
  }
  std::stable_sort(actions_.begin(), actions_.end(), [](const Action& x, const Action& y) {
    if (x.at != y.at) return x.at < y.at;
    return x.end && !y.end;
  });
}

void Timeline::advance(Model& m, double t) {
  if (t < now_) return;
  now_ = t;
  while (next_ < actions_.size() && actions_[next_].at <= t) {
    const Action a = actions_[next_++];
    if (a.end) {
      end(m, a.event);
    } else {
      start(m, a.event);
      ++started_;
    }
  }
  update_ramps(m, t);
}

// Modules and panels that an event names but the model no longer has (after a shelf change) are
// left alone; the model file's targets were checked when it was read.
void Timeline::start(Model& m, size_t i) {
  const Event& e = events_[i];
  switch (e.kind) {
    case Event::Kind::MainsFailure:
      if (AcLine* line = line_at(m, e.target)) line->failed = true, line->failure_alarm = e.alarm;
      break;
    case Event::Kind::ModuleFail:
      if (Module* mod = module_at(m, e.target)) mod->failed = true, mod->failure_alarm = e.alarm;
      break;
    case Event::Kind::ModuleStop:
      if (Module* mod = module_at(m, e.target)) mod->status[0] = 1;
      break;
    case Event::Kind::ModuleStart:
      if (Module* mod = module_at(m, e.target)) mod->status[0] = 0;
      break;
    case Event::Kind::ModuleCount: {
      auto& mods = m.rectifiers.modules;
      mods.resize(static_cast<size_t>(e.count), mods.empty() ? Module{} : mods.back());
      break;
    }
    case Event::Kind::DcAlarm:
      if (DcPanel* p = panel_at(m, e.target)) saved_[i] = p->alarm, p->alarm = e.alarm;
      break;
    case Event::Kind::Switch:
      if (uint8_t* sw = switch_at(m, e.target)) saved_[i] = *sw, *sw = e.state;
      break;
    case Event::Kind::DcRamp:
      if (DcPanel* p = panel_at(m, e.target)) {
        const size_t panel = static_cast<size_t>(e.target - 1);
        // A new ramp on a panel replaces the one in progress, starting where that one stands.
        ramps_.erase(std::remove_if(ramps_.begin(), ramps_.end(),
                                    [&](const Ramp& r) { return r.panel == panel; }),
                     ramps_.end());
        const float from = p->voltage.is_absent() ? e.to : p->voltage.value;
        ramps_.push_back({panel, from, e.to, e.at, e.duration});
      }
      break;
  }
}

void Timeline::end(Model& m, size_t i) {
  const Event& e = events_[i];
  switch (e.kind) {
    case Event::Kind::MainsFailure:
      if (AcLine* line = line_at(m, e.target)) line->failed = false;
      break;
    case Event::Kind::ModuleFail:
      if (Module* mod = module_at(m, e.target)) mod->failed = false;
      break;
    case Event::Kind::ModuleStop:
      if (Module* mod = module_at(m, e.target)) mod->status[0] = 0;
      break;
    case Event::Kind::ModuleStart:
      if (Module* mod = module_at(m, e.target)) mod->status[0] = 1;
      break;
    case Event::Kind::DcAlarm:
      if (DcPanel* p = panel_at(m, e.target)) p->alarm = saved_[i];
      break;
    case Event::Kind::Switch:
      if (uint8_t* sw = switch_at(m, e.target)) *sw = saved_[i];
      break;
    case Event::Kind::ModuleCount:
    case Event::Kind::DcRamp:
      break;
  }
}

void Timeline::update_ramps(Model& m, double t) {
  for (auto it = ramps_.begin(); it != ramps_.end();) {
    DcPanel* p = panel_at(m, static_cast<int>(it->panel + 1));
    const double done = it->duration > 0 ? (t - it->start) / it->duration : 1.0;
    if (p)
      p->voltage = WireValue::of(
          done >= 1.0 ? it->to : it->from + (it->to - it->from) * static_cast<float>(done));
    it = done >= 1.0 || !p ? ramps_.erase(it) : it + 1;
  }
}

}  // namespace sim
