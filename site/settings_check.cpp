#include "settings_check.h"

#include <cctype>

#include "config/option_names.h"
#include "klx/json_keys.h"

namespace klxhost {
namespace {

// What the plug-in reads as the number meant: a JSON number, or text holding a whole number.
bool reads_as_number(const Json::Value& v) {
  if (v.isBool()) return false;
  if (v.isNumeric()) return true;
  if (!v.isString()) return false;
  const std::string s = v.asString();
  size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  return true;
}

void check_options(const Json::Value& app, const std::string& where,
                   std::vector<std::string>& warnings) {
  const std::string at = where + ".\"appSetting\".\"";
  for (const auto& key : klx::unknown_keys(app, settings::kDeviceOptions))
    warnings.push_back(at + key + "\": not a device option; the plug-in ignores it");
  for (const char* key : settings::kDeviceOptions)
    if (!app[key].isNull() && !reads_as_number(app[key]))
      warnings.push_back(at + key + "\": not a number; the plug-in reads it as 0");
}

}  // namespace

void check_settings(const Json::Value& settings, const std::string& where,
                    std::vector<std::string>& warnings) {
  for (const auto& key : klx::unknown_keys(settings, {"appSetting", "thresholdSetting"}))
    warnings.push_back(where + ": \"" + key + "\": not read by the plug-in");
  const Json::Value& app = settings["appSetting"];
  if (app.isNull()) return;
  if (!app.isObject())
    warnings.push_back(where + ".\"appSetting\": not an object; every option keeps its default");
  else
    check_options(app, where, warnings);
}

}  // namespace klxhost
