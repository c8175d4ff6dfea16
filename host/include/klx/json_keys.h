#pragma once

// This host's own: the one policy of the JSON formats this project defines (klx-host's
// configuration, the simulator's model, replay scripts). A key the format does not know is
// refused with its name and place, since a misspelt key would otherwise change nothing without a
// word; a key that begins with "_" ("_comment") is a note and is skipped. The one exception is
// the plug-in's own "settings" object: the plug-in reads it, the host only warns about it.
// Header-only, so every reader uses it without linking the host library.

#include <json/value.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace klx {

inline bool is_note_key(const std::string& key) { return !key.empty() && key[0] == '_'; }

// The members of `object` that are neither among `known` (a range of names) nor notes, in
// jsoncpp's order; none when `object` is not an object.
template <class Names>
std::vector<std::string> unknown_keys(const Json::Value& object, const Names& known) {
  std::vector<std::string> out;
  if (!object.isObject()) return out;
  for (const auto& name : object.getMemberNames()) {
    bool ok = is_note_key(name);
    for (const auto& k : known) ok = ok || name == k;
    if (!ok) out.push_back(name);
  }
  return out;
}

inline std::vector<std::string> unknown_keys(const Json::Value& object,
                                             std::initializer_list<const char*> known) {
  return unknown_keys<std::initializer_list<const char*>>(object, known);
}

// The first of them; "" when there is none.
inline std::string unknown_key(const Json::Value& object,
                               std::initializer_list<const char*> known) {
  const auto all = unknown_keys(object, known);
  return all.empty() ? "" : all.front();
}

}  // namespace klx
