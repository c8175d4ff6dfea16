#pragma once

#include <string>

#include "alarms/rule_text.h"
#include "klx/vdevice.h"

// Maker of the level-gated boolean rules of one round. The level of a code is read with the
// map's subscript, so a code without a level is added with level 0, as the host expects; such a
// code makes no rule and its condition is never computed. The code, name and text buffers are
// reused for every rule, so a round does not allocate one string per rule.
class GatedRules {
 public:
  explicit GatedRules(KLXVDevice& dev) : dev_(dev) {}

  // A rule with a fixed code and name. `active` is called only when the code has a level.
  template <class Cond>
  void add(const char* code, const std::string& text1, const char* name, Cond active) {
    code_.assign(code);
    const int level = dev_.alarm_levels_[code_];
    if (level == 0) return;
    name_.assign(name);
    emit(level, text1, active());
  }

  // A rule of a repeated unit: code prefix + ddd(code_n) + "0", name head + ddd(name_n) + suffix.
  template <class Cond>
  void add_numbered(const char* prefix, unsigned code_n, const char* head, unsigned name_n,
                    const char* suffix, Cond active) {
    rule_text::numbered_code(code_, prefix, code_n);
    const int level = dev_.alarm_levels_[code_];
    if (level == 0) return;
    rule_text::numbered_name(name_, head, name_n, suffix);
    emit(level, one_, active());
  }

  // The threshold configured under the code of the rule being made (0.0 when there is none).
  float threshold() { return dev_.thresholds_[code_]; }

  // A buffer for the measured-values text of the rules that follow.
  std::string& text() { return text_; }

 private:
  void emit(int level, const std::string& text1, bool active) {
    dev_.CheckThresholdBool(level, code_, code_, text1, name_, active, 1);
  }

  KLXVDevice& dev_;
  std::string code_;
  std::string name_;
  std::string text_;
  const std::string one_ = "1";
};
