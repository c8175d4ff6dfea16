#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "klx/rule_value.h"

// Rules as one readable line each, so a whole list compares at once and a mismatch shows which
// rule differs: "level key alarm_id |text1|text2| active count".
inline std::string rule_line(const rule_value& r) {
  std::ostringstream line;
  line << r.level << " " << r.key << " " << r.alarm_id << " |" << r.text1 << "|" << r.text2 << "| "
       << r.value << " " << r.count;
  return line.str();
}

inline std::vector<std::string> rule_lines(const std::vector<rule_value>& rules) {
  std::vector<std::string> lines;
  for (const rule_value& r : rules) lines.push_back(rule_line(r));
  return lines;
}

// The line of a level-gated rule (identifier twice, last argument 1).
inline std::string gated(int level, const std::string& code, const std::string& text1,
                         const std::string& name, bool active) {
  rule_value r;
  r.level = level;
  r.key = code;
  r.alarm_id = code;
  r.text1 = text1;
  r.text2 = name;
  r.value = active ? 1.0 : 0.0;
  r.count = 1;
  return rule_line(r);
}
