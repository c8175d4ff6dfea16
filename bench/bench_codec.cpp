// The frame codec on the answer frames the largest round really has: encoding and stream parsing,
// frame by frame and as the whole round's byte stream; the parser's throughput fed whole and in
// 64-byte reads, against a plain decode loop of one whole frame with the same checks.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "klx/frame.h"
#include "klx/hex.h"
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

// Frames of 430 characters (the 41/41 answer of the largest round) and of 1218 (600 info bytes,
// a shelf of modules with user-defined values), by their length in characters.
const std::vector<uint8_t>& frame_of(int64_t chars) {
  static const std::vector<uint8_t> f430 = exchanges()[3].answer;
  static const std::vector<uint8_t> f1218 = [] {
    std::vector<uint8_t> info(600);
    for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(i * 37 + 11);
    const std::string f = klx::encode_frame(0x20, 1, 0x41, 0x00, info.data(), info.size());
    return std::vector<uint8_t>(f.begin(), f.end());
  }();
  const auto& f = chars == 430 ? f430 : f1218;
  if (f.size() != static_cast<size_t>(chars)) std::abort();
  return f;
}

void parse_in_chunks(benchmark::State& state, size_t chunk) {
  const std::vector<uint8_t>& frame = frame_of(state.range(0));
  klx::FrameParser parser;
  parser.expect_address(1);
  size_t frames = 0;
  const klx::FrameParser::Sink sink = [&frames](const klx::Frame* f, klx::FrameError) {
    frames += f != nullptr;
  };
  for (auto _ : state)
    for (size_t at = 0; at < frame.size(); at += chunk)
      parser.feed(frame.data() + at, std::min(chunk, frame.size() - at), sink);
  if (frames != static_cast<size_t>(state.iterations())) state.SkipWithError("frame rejected");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

void BM_parser_whole(benchmark::State& state) { parse_in_chunks(state, SIZE_MAX); }
BENCHMARK(BM_parser_whole)->Arg(430)->Arg(1218);

void BM_parser_chunked(benchmark::State& state) { parse_in_chunks(state, 64); }
BENCHMARK(BM_parser_chunked)->Arg(430)->Arg(1218);

// The reference: one whole frame in one buffer, decoded by a plain loop with the parser's checks
// (SOI and EOI, hex digits, LCHKSUM, LENID against the characters, CHKSUM). Not streaming: it
// only shows what the checks themselves cost.
constexpr std::array<uint8_t, 256> plain_hex_table() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const int v = klx::hex_digit(static_cast<char>(c));
    t[c] = v < 0 ? 0x80 : static_cast<uint8_t>(v);
  }
  return t;
}
constexpr std::array<uint8_t, 256> kPlainHex = plain_hex_table();

bool plain_decode(const uint8_t* s, size_t n, klx::Frame& f) {
  if (n < 18 || s[0] != klx::kFrameSoi || s[n - 1] != klx::kFrameEoi) return false;
  const uint8_t* c = s + 1;
  const size_t chars = n - 2;
  unsigned bad = 0, sum = 0;
  uint8_t head[6];
  for (size_t i = 0; i < 6; ++i) {
    const uint8_t hi = kPlainHex[c[2 * i]], lo = kPlainHex[c[2 * i + 1]];
    bad |= hi | lo;
    sum += c[2 * i] + c[2 * i + 1];
    head[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  const unsigned length = unsigned(head[4]) << 8 | head[5];
  const unsigned lenid = length & 0x0FFF;
  if ((bad & 0x80) || (length >> 12) != klx::frame_lchksum(static_cast<uint16_t>(lenid)) ||
      lenid % 2 || lenid + 16 != chars)
    return false;
  f.info.resize(lenid / 2);
  const uint8_t* in = c + 12;
  for (size_t i = 0; i < lenid / 2; ++i) {
    const uint8_t hi = kPlainHex[in[2 * i]], lo = kPlainHex[in[2 * i + 1]];
    bad |= hi | lo;
    sum += in[2 * i] + in[2 * i + 1];
    f.info[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  unsigned chksum = 0;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t v = kPlainHex[in[lenid + i]];
    bad |= v;
    chksum = chksum << 4 | v;
  }
  if ((bad & 0x80) || chksum != static_cast<uint16_t>(~sum + 1)) return false;
  f.ver = head[0];
  f.adr = head[1];
  f.cid1 = head[2];
  f.cid2 = head[3];
  f.lenid = static_cast<uint16_t>(lenid);
  return true;
}

void BM_plain_loop(benchmark::State& state) {
  const std::vector<uint8_t>& frame = frame_of(state.range(0));
  klx::Frame f;
  f.info.reserve(klx::kFrameMaxInfoBytes);
  size_t frames = 0;
  for (auto _ : state) {
    frames += plain_decode(frame.data(), frame.size(), f);
    benchmark::DoNotOptimize(f.info.data());
  }
  if (frames != static_cast<size_t>(state.iterations())) state.SkipWithError("frame rejected");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_plain_loop)->Arg(430)->Arg(1218);

}  // namespace
