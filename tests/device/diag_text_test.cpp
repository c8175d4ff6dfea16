// A diagnostic line built in one buffer writes exactly what inserting its pieces into std::cout
// one by one writes, whatever the stream's format.
#include "device/diag_text.h"

#include <gtest/gtest.h>

#include <functional>
#include <iomanip>
#include <iostream>
#include <string>

#include "support/stdout_capture.h"

namespace {

std::string written(const std::function<void()>& write) {
  StdoutCapture capture;
  write();
  return capture.take();
}

TEST(CoutLine, WritesWhatTheStreamWrites) {
  const std::function<void()> formats[] = {
      [] {},
      [] { std::cout << std::hex << std::showbase; },
      [] { std::cout << std::showpos << std::setprecision(3); },
      [] { std::cout.width(7); },
  };
  const std::string long_text(300, 'x');  // longer than the line's buffer
  for (const auto& format : formats) {
    const auto pieces = [&](auto&& out) {
      out << "id:" << 4000000000u << ' ' << -12 << ' ' << static_cast<char>(0) << -3L << ' ' << 7UL
          << " v" << diag::Float{53.4f} << long_text.c_str();
    };
    format();
    const std::string line = written([&] {
      diag::CoutLine out;
      pieces(out);
      out.end();
    });
    format();
    const std::string stream = written([&] {
      pieces(std::cout);
      std::cout << std::endl;
    });
    EXPECT_EQ(line, stream);
    std::cout.copyfmt(std::ios(nullptr));
  }
}

}  // namespace
