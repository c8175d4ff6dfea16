#pragma once

// This host's own runtime (where the programs find the plug-in), not part of the closed host's
// interface.

// Where a program of this project finds the plug-in without being told: beside itself, in the
// build tree's layout (bin/ and lib/) or the installed one (/usr/bin and /usr/lib/klx/plugins).

#include <string>
#include <vector>

#include "klx/api.h"

namespace klx {

// The places looked at, in order, from the running program's own folder (never the current one).
KLX_API std::vector<std::string> plugin_candidates();

// The first candidate that exists; the installed place when none does, so the error names it.
KLX_API std::string default_plugin_path();

}  // namespace klx
