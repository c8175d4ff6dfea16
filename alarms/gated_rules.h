#pragma once

#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "alarms/rule_text.h"
#include "alarms/unit_texts.h"
#include "klx/vdevice.h"

// Maker of the level-gated boolean rules of one round. The level of a code is read as the map's
// subscript reads it, so a code without a level is added with level 0, as the host expects; such
// a code makes no rule and its condition is never computed. Codes and names live in buffers that
// serve every rule and that the device keeps, so a round builds no string of its own.
//
// A GatedRules lives for one round's rules only: it keeps positions in `alarm_levels_`, which the
// host may replace between rounds.
class GatedRules {
 public:
  using Levels = std::map<std::string, int>;

  // Where the last level of a run of codes was found. The next code of the run is usually the
  // map's next entry (consecutive unit numbers, every code configured), which one comparison
  // confirms; any other code is looked up in full.
  class Cursor {
   public:
    int level(Levels& levels, const std::string& code) {
      if (valid_) {
        const auto next = std::next(at_);
        if (next != levels.end() && same(next->first, code)) {
          at_ = next;
          return at_->second;
        }
      }
      at_ = levels.try_emplace(code).first;  // what operator[] does: a missing code gets 0
      valid_ = true;
      return at_->second;
    }

   private:
    // Codes are twelve characters: compared as such without a library call.
    static bool same(const std::string& a, const std::string& b) {
      if (a.size() != b.size()) return false;
      if (a.size() == 12) return std::memcmp(a.data(), b.data(), 12) == 0;
      return a == b;
    }

    Levels::iterator at_;
    bool valid_ = false;
  };

  // Rules of a repeated unit: code prefix + ddd(code_n) + "0", name head + ddd(name_n) + suffix.
  // Each code and name is written once per device, into `texts` (a member of the device), and
  // kept: they never change between rounds.
  class Series {
   public:
    Series(UnitTexts& texts, const char* prefix, const char* head, const char* suffix)
        : texts_(texts), prefix_(prefix), head_(head), suffix_(suffix) {}

    const std::string& code(unsigned n) {
      std::string& code = slot(texts_.codes, n);
      if (code.empty()) rule_text::numbered_code(code, prefix_, n);
      return code;
    }
    const std::string& name(unsigned n) {
      std::string& name = slot(texts_.names, n);
      if (name.empty()) rule_text::numbered_name(name, head_, n, suffix_);
      return name;
    }

   private:
    static std::string& slot(std::vector<std::string>& list, unsigned n) {
      if (n >= list.size()) list.resize(n + 1);
      return list[n];
    }

    UnitTexts& texts_;
    const char* prefix_;
    const char* head_;
    const char* suffix_;
    Cursor cursor_;
    friend class GatedRules;
  };

  GatedRules(KLXVDevice& dev, RuleBuffers& buffers)
      : dev_(dev), code_(buffers.code), name_(buffers.name), text_(buffers.text) {}

  // A rule with a fixed code and name. `active` is called only when the code has a level.
  template <class Cond>
  void add(const char* code, const std::string& text1, const char* name, Cond active) {
    code_.assign(code);
    const int level = fixed_.level(dev_.alarm_levels_, code_);
    if (level == 0) return;
    name_.assign(name);
    dev_.CheckThresholdBool(level, code_, code_, text1, name_, active(), 1);
  }

  template <class Cond>
  void add_numbered(Series& s, unsigned code_n, unsigned name_n, Cond active) {
    const std::string& code = s.code(code_n);
    const int level = s.cursor_.level(dev_.alarm_levels_, code);
    if (level == 0) return;
    dev_.CheckThresholdBool(level, code, code, one_, s.name(name_n), active(), 1);
  }

  // The threshold configured under the code of the fixed rule being made (0.0 when there is
  // none).
  float threshold() { return dev_.thresholds_[code_]; }

  // A buffer for the measured-values text of the rules that follow.
  std::string& text() { return text_; }

 private:
  KLXVDevice& dev_;
  Cursor fixed_;
  std::string& code_;
  std::string& name_;
  std::string& text_;
  const std::string one_ = "1";
};
