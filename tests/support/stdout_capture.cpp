#include "support/stdout_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>

StdoutCapture::StdoutCapture() {
  std::cout.flush();
  std::fflush(stdout);
  testing::internal::CaptureStdout();
}

StdoutCapture::~StdoutCapture() { take(); }

std::string StdoutCapture::take() {
  if (active_) {
    std::cout.flush();
    std::fflush(stdout);
    text_ = testing::internal::GetCapturedStdout();
    active_ = false;
  }
  return text_;
}
