// An in-process line: a peer (simulator, replay script, test) answers each written frame with
// timed chunks, which become readable when their time comes.
#include <algorithm>
#include <cstring>

#include "klx/peer.h"
#include "klx/transport.h"

namespace klx {
namespace {

class PeerTransport : public Transport {
 public:
  PeerTransport(std::unique_ptr<Peer> peer, std::string name)
      : peer_(std::move(peer)), name_(std::move(name)) {}

  bool open(std::string& error) override {
    if (!peer_) {
      error = "no peer";
      return false;
    }
    open_ = true;
    return true;
  }
  void close() override {
    open_ = false;
    pending_.clear();
  }
  bool is_open() const override { return open_; }

  bool write(const uint8_t* bytes, size_t n) override {
    if (!open_) return false;
    auto due = now();
    for (auto& chunk : peer_->respond(std::vector<uint8_t>(bytes, bytes + n))) {
      due += std::chrono::milliseconds(chunk.delay_ms);
      if (!chunk.bytes.empty()) pending_.push_back({due, std::move(chunk.bytes), 0});
    }
    return true;
  }

  long read(uint8_t* buf, size_t cap) override {
    if (!open_) return -1;
    const auto t = now();
    size_t got = 0;
    while (got < cap && !pending_.empty() && pending_.front().due <= t) {
      Chunk& c = pending_.front();
      const size_t take = std::min(cap - got, c.bytes.size() - c.taken);
      std::memcpy(buf + got, c.bytes.data() + c.taken, take);
      got += take;
      c.taken += take;
      if (c.taken == c.bytes.size()) pending_.pop_front();
    }
    return static_cast<long>(got);
  }

  SteadyClock::time_point next_due() const override {
    return pending_.empty() ? SteadyClock::time_point::max() : pending_.front().due;
  }

  std::string describe() const override { return name_; }

  void set_time(SteadyClock::time_point now) override {
    manual_time_ = true;
    now_ = now;
  }

 private:
  SteadyClock::time_point now() const { return manual_time_ ? now_ : SteadyClock::now(); }

  struct Chunk {
    SteadyClock::time_point due;
    std::vector<uint8_t> bytes;
    size_t taken;
  };
  std::unique_ptr<Peer> peer_;
  std::string name_;
  bool open_ = false;
  bool manual_time_ = false;
  SteadyClock::time_point now_{};
  std::deque<Chunk> pending_;
};

}  // namespace

std::unique_ptr<Transport> make_peer_transport(std::unique_ptr<Peer> peer, std::string name) {
  return std::make_unique<PeerTransport>(std::move(peer), std::move(name));
}

}  // namespace klx
