#pragma once

// How every program ends on a command-line mistake: CLI11's message (it names the option at
// fault) and exit 2, where CLI11's own codes run from 100 up; --help exits 0.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace klxcli {

constexpr int kExitUsage = 2;

// The exit code for a parse error, after printing what CLI11 has to say about it.
// An unknown option is named even when another error (a missing required option) was found first.
inline int exit_code(const CLI::App& app, const CLI::ParseError& e) {
  const std::vector<std::string> extra = app.remaining();
  if (e.get_exit_code() != 0 && !extra.empty())
    return app.exit(CLI::ExtrasError(app.get_name(), extra)) == 0 ? 0 : kExitUsage;
  return app.exit(e) == 0 ? 0 : kExitUsage;
}

// A number above `low` (or from `low` on, with `or_equal`), said in words: CLI::PositiveNumber
// prints the largest double in full.
inline CLI::Validator above(double low, bool or_equal = false) {
  CLI::Validator v(
      [low, or_equal](std::string& text) -> std::string {
        char* end = nullptr;
        const double d = std::strtod(text.c_str(), &end);
        const bool fits = or_equal ? d >= low : d > low;
        if (end != text.c_str() && *end == '\0' && fits && std::isfinite(d)) return "";
        return "must be a number " + std::string(or_equal ? "of at least " : "above ") +
               CLI::detail::to_string(low);
      },
      "NUMBER");
  return v;
}

// A value that is not empty: an unset shell variable must not pass for a choice.
inline CLI::Validator not_empty() {
  return CLI::Validator(
      [](std::string& text) -> std::string { return text.empty() ? "must not be empty" : ""; },
      "TEXT");
}

}  // namespace klxcli
