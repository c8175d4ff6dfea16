#pragma once

// YD/T 1363.3 frames: the encoder and the streaming parser of the host's protocol layer. Both are
// pure functions of bytes, with no I/O, so the simulator and the tests use the same code.
//
// On the wire: SOI '~', then as upper-case ASCII hex VER ADR CID1 CID2 LENGTH(4) INFO CHKSUM(4),
// then EOI CR. LENGTH holds LCHKSUM in its top nibble and LENID (INFO characters) below it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "klx/api.h"

namespace klx {

constexpr uint8_t kFrameSoi = 0x7E;
constexpr uint8_t kFrameEoi = 0x0D;
// VER ADR CID1 CID2 LENGTH: the characters before INFO.
constexpr size_t kFrameHeaderChars = 12;
constexpr size_t kFrameChecksumChars = 4;
// LENID is 12 bits wide: at most 4095 characters, so at most 2047 whole info bytes.
constexpr size_t kFrameMaxInfoBytes = 2047;

// The LCHKSUM nibble of a LENID: the two's complement of the sum of its three nibbles.
KLX_API uint8_t frame_lchksum(uint16_t lenid);
// The CHKSUM of the characters after SOI up to the last character of INFO.
KLX_API uint16_t frame_chksum(const char* chars, size_t n);

// One whole frame, SOI to EOI. cid2 is the command in a command frame and RTN in an answer.
// Throws std::length_error when the info does not fit LENID (more than kFrameMaxInfoBytes).
KLX_API std::string encode_frame(uint8_t ver, uint8_t adr, uint8_t cid1, uint8_t cid2,
                                 const uint8_t* info, size_t n);
// The same into `out`, replacing what it held; a buffer kept from command to command is not
// allocated again.
KLX_API void encode_frame_into(std::string& out, uint8_t ver, uint8_t adr, uint8_t cid1,
                               uint8_t cid2, const uint8_t* info, size_t n);

// A frame as the parser hands it over.
struct Frame {
  uint8_t ver = 0;
  uint8_t adr = 0;
  uint8_t cid1 = 0;
  uint8_t cid2 = 0;  // RTN in an answer
  uint16_t lenid = 0;
  std::vector<uint8_t> info;  // exactly lenid / 2 bytes
};

// Why a frame was rejected. Frames cut off by a new SOI and skipped echoes are only counted.
enum class FrameError {
  kNone,           // a good frame
  kBadHex,         // a character between SOI and EOI that is not a hex digit
  kBadLchksum,     // LCHKSUM does not match LENID
  kLenidMismatch,  // LENID odd, or not the number of INFO characters received
  kBadChksum,      // CHKSUM does not match the characters
  kWrongAddress,   // a good frame from another address
  kOversize,       // LENID announces more info than the parser accepts
};

KLX_API const char* frame_error_name(FrameError e);

struct FrameCounters {
  uint64_t frames = 0;  // good frames handed over
  uint64_t bad_hex = 0;
  uint64_t bad_lchksum = 0;
  uint64_t lenid_mismatch = 0;
  uint64_t bad_chksum = 0;
  uint64_t wrong_address = 0;
  uint64_t oversize = 0;
  uint64_t echo_skipped = 0;  // our own command handed back by the line
  uint64_t cut_off = 0;       // a frame abandoned because a new SOI began
  uint64_t noise_bytes = 0;   // bytes outside any frame
};

// Assembles frames from a byte stream in any chunking. The buffer never holds more than one
// frame's characters, bounded by the LENID the frame announces.
class KLX_API FrameParser {
 public:
  enum class State {
    kHunt,    // waiting for SOI; everything else is noise
    kHeader,  // reading VER ADR CID1 CID2 LENGTH
    kBody,    // reading INFO and CHKSUM
    kEoi,     // all characters in, waiting for CR
  };

  // Called once per finished frame: with the frame and kNone for a good one, with nullptr and
  // the reason otherwise.
  using Sink = std::function<void(const Frame* frame, FrameError error)>;

  explicit FrameParser(size_t max_info_bytes = kFrameMaxInfoBytes);

  // Frames from any other address are rejected; -1 accepts every address.
  void expect_address(int adr) { address_ = adr; }
  // The frame just written (SOI to EOI). The next frame that repeats it exactly is our own
  // command handed back by the line and is skipped once. An empty string clears it.
  void expect_echo(const std::string& frame);

  void feed(const uint8_t* bytes, size_t n, const Sink& sink);
  // Convenience for tests and scripts: the good frames of a chunk; errors only counted.
  std::vector<Frame> feed(const uint8_t* bytes, size_t n);

  // Drops a partly received frame (after a time-out, say).
  void reset();

  State state() const { return state_; }
  // The characters of the frame in progress, SOI to EOI, once its header has announced them
  // (LENID plus 18); 0 while no header has been read.
  size_t expected_chars() const {
    return state_ == State::kBody || state_ == State::kEoi ? kFrameHeaderChars + body_chars_ + 2
                                                           : 0;
  }
  const FrameCounters& counters() const { return counters_; }

 private:
  // Hex characters of the frame in progress are taken a run at a time: each run is checked,
  // summed and decoded in one pass, and kept only when every character is a hex digit.
  bool take_header(const uint8_t* s, size_t k);
  bool take_body(const uint8_t* s, size_t k);
  size_t take_hex(const uint8_t* s, size_t k);
  void begin_frame();
  void on_other(uint8_t c, const Sink& sink);
  void on_header_complete(const Sink& sink);
  void on_frame_complete(const Sink& sink);
  void reject(FrameError e, const Sink& sink);

  size_t max_info_bytes_;
  int address_ = -1;
  State state_ = State::kHunt;
  size_t got_ = 0;            // characters of the frame in progress after SOI
  size_t body_chars_ = 0;     // INFO and CHKSUM characters LENID announces
  unsigned sum_ = 0;          // of the characters up to the end of INFO
  uint8_t half_ = 0;          // the high nibble of a byte whose low nibble is still to come
  uint8_t head_[6] = {};      // VER ADR CID1 CID2 LENGTH, decoded
  unsigned chksum_ = 0;       // the CHKSUM characters decoded so far
  bool echo_so_far_ = false;  // the frame in progress repeats echo_ up to here
  std::string echo_;          // characters of the command that may come back, SOI and EOI excluded
  Frame frame_;
  FrameCounters counters_;
};

}  // namespace klx
