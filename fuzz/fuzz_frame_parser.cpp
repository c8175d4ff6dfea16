// The host's streaming frame parser on arbitrary byte streams in arbitrary chunks. The same
// stream fed whole, byte by byte and in chunks the input chooses must give the same frames, the
// same rejections and the same counters; every frame handed over must hold exactly LENID / 2 info
// bytes, come from the expected address, and encode back to a frame that parses to itself.
#include <cstdlib>

#include "fuzz_support.h"
#include "klx/frame.h"

namespace {

struct Seen {
  std::vector<klx::Frame> frames;
  std::vector<klx::FrameError> errors;
};

bool same(const klx::Frame& a, const klx::Frame& b) {
  return a.ver == b.ver && a.adr == b.adr && a.cid1 == b.cid1 && a.cid2 == b.cid2 &&
         a.lenid == b.lenid && a.info == b.info;
}

bool same(const klx::FrameCounters& a, const klx::FrameCounters& b) {
  return a.frames == b.frames && a.bad_hex == b.bad_hex && a.bad_lchksum == b.bad_lchksum &&
         a.lenid_mismatch == b.lenid_mismatch && a.bad_chksum == b.bad_chksum &&
         a.wrong_address == b.wrong_address && a.oversize == b.oversize &&
         a.echo_skipped == b.echo_skipped && a.cut_off == b.cut_off &&
         a.noise_bytes == b.noise_bytes;
}

bool same(const Seen& a, const Seen& b) {
  if (a.errors != b.errors || a.frames.size() != b.frames.size()) return false;
  for (size_t i = 0; i < a.frames.size(); ++i)
    if (!same(a.frames[i], b.frames[i])) return false;
  return true;
}

struct Setup {
  size_t max_info = klx::kFrameMaxInfoBytes;
  int address = -1;
  std::string echo;
};

// A command frame of the input's choosing, which the line may hand back as an echo.
std::string echo_frame(FuzzInput& in) {
  const uint8_t head[4] = {in.byte(), in.byte(), in.byte(), in.byte()};
  const std::vector<uint8_t> data = in.take(in.byte() % 8);
  return klx::encode_frame(head[0], head[1], head[2], head[3], data.data(), data.size());
}

Setup read_setup(FuzzInput& in) {
  Setup s;
  const uint8_t flags = in.byte();
  if (flags & 1) s.address = in.byte();
  if (flags & 2) s.echo = echo_frame(in);
  if (flags & 4) s.max_info = in.u16() % (klx::kFrameMaxInfoBytes + 1);
  return s;
}

klx::FrameParser make_parser(const Setup& s) {
  klx::FrameParser p(s.max_info);
  p.expect_address(s.address);
  p.expect_echo(s.echo);
  return p;
}

klx::FrameParser::Sink collect(Seen& seen) {
  return [&seen](const klx::Frame* f, klx::FrameError e) {
    require((f != nullptr) == (e == klx::FrameError::kNone), "a frame comes with kNone alone");
    if (f) seen.frames.push_back(*f);
    seen.errors.push_back(e);
  };
}

void check_frame(const klx::Frame& f, const Setup& s) {
  require(f.lenid % 2 == 0 && f.info.size() == f.lenid / 2u, "info holds LENID / 2 bytes");
  require(f.info.size() <= s.max_info, "info within the parser's bound");
  require(s.address < 0 || f.adr == s.address, "frame from the expected address");
  const std::string again =
      klx::encode_frame(f.ver, f.adr, f.cid1, f.cid2, f.info.data(), f.info.size());
  klx::FrameParser p;
  const auto back = p.feed(reinterpret_cast<const uint8_t*>(again.data()), again.size());
  require(back.size() == 1 && same(back[0], f), "a frame encodes back to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const Setup setup = read_setup(in);
  uint32_t cut = in.byte() | 1u;  // drives the chunk sizes of the third feed
  const std::vector<uint8_t> stream = in.rest();

  Seen whole, bytewise, chunked;
  klx::FrameParser a = make_parser(setup), b = make_parser(setup), c = make_parser(setup);
  a.feed(stream.data(), stream.size(), collect(whole));
  for (uint8_t byte : stream) b.feed(&byte, 1, collect(bytewise));
  for (size_t at = 0; at < stream.size();) {
    cut = cut * 1103515245u + 12345u;
    const size_t n = std::min<size_t>(1 + (cut >> 16) % 64, stream.size() - at);
    // Each chunk in a buffer of its own size, so that a read past it is caught.
    const std::vector<uint8_t> chunk(stream.begin() + at, stream.begin() + at + n);
    c.feed(chunk.data(), chunk.size(), collect(chunked));
    at += n;
  }

  require(same(whole, bytewise) && same(whole, chunked), "chunking changes nothing");
  require(same(a.counters(), b.counters()) && same(a.counters(), c.counters()),
          "counters do not depend on chunking");
  require(a.state() == b.state() && a.state() == c.state(), "state after the stream");
  require(a.counters().frames == whole.frames.size(), "frame counter");
  for (const auto& f : whole.frames) check_frame(f, setup);
  return 0;
}
