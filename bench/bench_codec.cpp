// The frame codec on the answer frames the largest round really has: encoding and stream parsing,
// frame by frame and as the whole round's byte stream.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "klx/frame.h"
#include "round_rig.h"

namespace {

const std::vector<bench::Exchange>& exchanges() {
  static const std::vector<bench::Exchange> ex =
      bench::largest_round_exchanges(bench::largest_round_model());
  return ex;
}

std::string label(const bench::Exchange& e) {
  char text[32];
  std::snprintf(text, sizeof text, "%02X/%02X %zu chars", e.cid1, e.cid2, e.answer.size());
  return text;
}

void BM_encode_answer(benchmark::State& state) {
  const bench::Exchange& e = exchanges()[static_cast<size_t>(state.range(0))];
  for (auto _ : state) {
    std::string frame = klx::encode_frame(0x20, 1, e.cid1, 0x00, e.info.data(), e.info.size());
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetLabel(label(e));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(e.answer.size()));
}
BENCHMARK(BM_encode_answer)->DenseRange(0, 7);

// Through a sink, as the protocol layer feeds it.
void BM_parse_answer(benchmark::State& state) {
  const bench::Exchange& e = exchanges()[static_cast<size_t>(state.range(0))];
  klx::FrameParser parser;
  parser.expect_address(1);
  size_t frames = 0;
  const klx::FrameParser::Sink sink = [&frames](const klx::Frame* f, klx::FrameError) {
    frames += f != nullptr;
  };
  for (auto _ : state) parser.feed(e.answer.data(), e.answer.size(), sink);
  if (frames != static_cast<size_t>(state.iterations())) state.SkipWithError("frame rejected");
  state.SetLabel(label(e));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(e.answer.size()));
}
BENCHMARK(BM_parse_answer)->DenseRange(0, 7);

// The eight answers of a round as one stream.
void BM_parse_round_stream(benchmark::State& state) {
  std::vector<uint8_t> stream;
  for (const auto& e : exchanges()) stream.insert(stream.end(), e.answer.begin(), e.answer.end());
  klx::FrameParser parser;
  parser.expect_address(1);
  size_t frames = 0;
  const klx::FrameParser::Sink sink = [&frames](const klx::Frame* f, klx::FrameError) {
    frames += f != nullptr;
  };
  for (auto _ : state) parser.feed(stream.data(), stream.size(), sink);
  if (frames != exchanges().size() * static_cast<size_t>(state.iterations()))
    state.SkipWithError("frame rejected");
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(exchanges().size()));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_parse_round_stream);

}  // namespace
