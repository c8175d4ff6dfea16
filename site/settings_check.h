#pragma once

// The device options the plug-in reads from "settings"."appSetting" take numbers and numeric
// strings only, and a key it does not know is never read: a misspelt "hasdc", or "yes" or true
// for 1, silently reads as off. These checks say so before the run; they never refuse.

#include <json/value.h>

#include <string>
#include <vector>

namespace klxhost {

// Warnings about `settings` (a device's settings object); `where` labels them.
void check_settings(const Json::Value& settings, const std::string& where,
                    std::vector<std::string>& warnings);

}  // namespace klxhost
