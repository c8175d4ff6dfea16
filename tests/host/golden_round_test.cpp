// The largest round (bench/models/largest_round.json, mode 2, every level set), two rounds through
// klx-host: every host call in the trace and every diagnostic line must stay byte for byte what
// tests/host/golden/ holds. Work that makes the round cheaper must not change what it does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_host.h"

namespace {

const std::string kGolden = std::string(KLX_SOURCE_DIR) + "/tests/host/golden/largest_round";

// The record's time stamp (7 bytes at offset 555) is the only thing that differs between runs.
std::string without_stamps(std::string line) {
  const std::string key = "\"record\":\"";
  for (size_t at = line.find(key); at != std::string::npos; at = line.find(key, at + 1)) {
    const size_t stamp = at + key.size() + 2 * 555;
    if (stamp + 14 <= line.size()) line.replace(stamp, 14, 14, '-');
  }
  return line;
}

TEST(GoldenRound, LargestRoundCallsAndDiagnosticsAreUnchanged) {
  if (run_host::binary().empty()) GTEST_SKIP() << "this build has no klx-host";
  const auto fast = run_host::fast_clock_env(50);  // the 2 s between rounds in 40 ms
  if (fast.empty()) GTEST_SKIP() << "libfaketime is not installed";
  const std::string trace = run_host::scratch_dir("golden") + "/trace.jsonl";
  const auto r =
      run_host::run({"--config", kGolden + ".config.json", "--port",
                     std::string("sim:") + KLX_SOURCE_DIR + "/bench/models/largest_round.json",
                     "--rounds", "2", "--trace", trace},
                    fast);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, run_host::read_file(kGolden + ".stdout.txt"));

  const auto want = run_host::read_lines(kGolden + ".trace.jsonl");
  const auto got = run_host::read_lines(trace);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(without_stamps(got[i]), want[i]) << i;
}

}  // namespace
