#include "klx/store.h"

namespace klx {

std::vector<AlarmTransition> AlarmBook::evaluate(const std::vector<rule_value>& rules) {
  std::vector<AlarmTransition> out;
  for (const auto& rule : rules) {
    auto t = evaluate(rule);
    out.insert(out.end(), t.begin(), t.end());
  }
  return out;
}

std::vector<AlarmTransition> AlarmBook::evaluate(const rule_value& rule) {
  if (rule.level == 0) return {};
  State& s = states_[rule.key];
  const bool holds = rule.value != 0.0;
  const unsigned needed = rule.count > 0 ? static_cast<unsigned>(rule.count) : 1u;
  bool changed = false;
  if (holds) {
    if (s.held < needed) ++s.held;
    changed = !s.active && s.held >= needed;
    if (changed) s.active = true;
  } else {
    s.held = 0;
    changed = s.active;
    s.active = false;
  }
  if (!changed) return {};
  return {AlarmTransition{s.active, rule.level, rule.key, rule.alarm_id, rule.text1, rule.text2}};
}

void AlarmBook::restore(const std::string& key) {
  State& s = states_[key];
  s.active = true;
  s.held = 1;
}

bool AlarmBook::active(const std::string& key) const {
  const auto it = states_.find(key);
  return it != states_.end() && it->second.active;
}

size_t AlarmBook::active_count() const {
  size_t n = 0;
  for (const auto& kv : states_) n += kv.second.active ? 1 : 0;
  return n;
}

}  // namespace klx
