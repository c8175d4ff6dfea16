#pragma once

// This host's own: the one policy of the JSON formats this project defines (klx-host's
// configuration, the simulator's model, replay scripts). A key the format does not know is
// refused with its name and place, since a misspelt key would otherwise change nothing without a
// word; a key that begins with "_" ("_comment") is a note and is skipped. Header-only, so every
// reader uses it without linking the host library.

#include <json/value.h>

#include <initializer_list>
#include <string>

namespace klx {

inline bool is_note_key(const std::string& key) { return !key.empty() && key[0] == '_'; }

// The first member of `object` that is neither among `known` nor a note; "" when there is none
// (or `object` is not an object).
inline std::string unknown_key(const Json::Value& object,
                               std::initializer_list<const char*> known) {
  if (!object.isObject()) return "";
  for (const auto& name : object.getMemberNames()) {
    bool ok = is_note_key(name);
    for (const char* k : known) ok = ok || name == k;
    if (!ok) return name;
  }
  return "";
}

}  // namespace klx
