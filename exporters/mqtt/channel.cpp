#include "channel.h"

#include <mqtt_protocol.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>

#include "diag_line.h"
#include "status_message.h"

namespace klxhost {
namespace {

// Messages handed to libmosquitto and not yet acknowledged: its own queue stays this short.
constexpr unsigned kWindow = 16;
constexpr int kKeepAlive = 30;
constexpr std::chrono::seconds kMaxBackoff{30};
// A connection that stayed up this long was a good one: the back-off starts again at 1 s.
constexpr std::chrono::seconds kStableFor{30};
constexpr std::chrono::seconds kRepeatEvery{60};
constexpr size_t kMaxLines = 32;
// The largest packet the broker may send us (MQTT v5, in CONNECT): we only read "online" on the
// status topic, so a big message there is the broker's to drop, not ours to buffer.
constexpr uint32_t kMaxIncomingPacket = 4096;
// The network side's longest wait when nothing happens: keep-alive and retries are looked at this
// often. A queued message wakes it at once.
constexpr int kIdleWait = 1000;
// How long a first TCP connection may take before the attempt counts as failed.
constexpr std::chrono::seconds kProbeLimit{10};

struct LibInit {
  LibInit() { mosquitto_lib_init(); }
};

std::string errno_text(int rc, int err) {
  return rc == MOSQ_ERR_ERRNO ? std::generic_category().message(err) : mosquitto_strerror(rc);
}

// A non-blocking TCP connection to one address: 0 when it opened, else the errno.
int try_tcp(const addrinfo& ai, const std::atomic<bool>& stop) {
  const int fd = socket(ai.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int err = connect(fd, ai.ai_addr, ai.ai_addrlen) == 0 ? 0 : errno;
  const auto until = std::chrono::steady_clock::now() + kProbeLimit;
  while (err == EINPROGRESS) {
    if (stop || std::chrono::steady_clock::now() >= until) {
      err = ETIMEDOUT;
      break;
    }
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  }
  close(fd);
  return err;
}

// v5 answers with reason codes (128 and up for a refusal), v3.1.1 with its connack codes.
std::string refusal_text(int rc) {
  return rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
}

}  // namespace

void LineLimiter::print(const std::string& what, std::chrono::steady_clock::time_point now) {
  auto it = seen_.find(what);
  if (it != seen_.end() && now - it->second.last < kRepeatEvery) {
    ++it->second.held;
    return;
  }
  if (it == seen_.end()) {
    if (seen_.size() >= kMaxLines) seen_.erase(seen_.begin());
    it = seen_.emplace(what, Seen{}).first;
  }
  DiagLine line;
  line << "klx-host: " << label_ << ": " << what;
  if (it->second.held) line << " (" << it->second.held << " more times)";
  line << "\n";
  it->second = Seen{now, 0};
}

MqttChannel::MqttChannel(ChannelParams p)
    : p_(std::move(p)), outbox_(p_.max_ordered), lines_(p_.label) {
  static LibInit init;
}

MqttChannel::~MqttChannel() {
  stop(std::chrono::steady_clock::now());
  if (mosq_) mosquitto_destroy(mosq_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool MqttChannel::start(std::string& error) {
  mosq_ = mosquitto_new(p_.client_id.c_str(), true, this);
  if (!mosq_) {
    error = "cannot create an MQTT client (client id \"" + p_.client_id + "\")";
    return false;
  }
  if (!configure(error)) return false;
  mosquitto_connect_callback_set(mosq_, on_connect);
  mosquitto_publish_callback_set(mosq_, on_publish);
  mosquitto_message_callback_set(mosq_, on_message);
  mosquitto_log_callback_set(mosq_, on_log);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  thread_ = std::thread([this] { run(); });
  return true;
}

bool MqttChannel::configure(std::string& error) {
  mosquitto_threaded_set(mosq_, true);
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  if (!p_.username.empty())
    mosquitto_username_pw_set(mosq_, p_.username.c_str(),
                              p_.password.empty() ? nullptr : p_.password.c_str());
  if (p_.url.tls) {
    const char* ca = p_.ca_file.empty() ? nullptr : p_.ca_file.c_str();
    const int rc =
        mosquitto_tls_set(mosq_, ca, ca ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = "TLS set-up" + (ca ? " with CA file " + p_.ca_file : std::string()) + ": " +
              mosquitto_strerror(rc) + logged_error();
      return false;
    }
  }
  const int rc = mosquitto_will_set(mosq_, p_.will_topic.c_str(), 7, "offline", 1, true);
  if (rc != MOSQ_ERR_SUCCESS) {
    error = "last will on \"" + p_.will_topic + "\": " + mosquitto_strerror(rc);
    return false;
  }
  return true;
}

// The first connection carries the CONNECT properties, which libmosquitto keeps for every
// reconnection, and libmosquitto waits for its TCP connection: a broker address that drops
// packets would hold this thread, and the host's stop, for minutes. So the broker is first
// reached without libmosquitto, for at most 10 s and never past a stop.
int MqttChannel::first_connect(int& err) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(p_.url.host.c_str(), std::to_string(p_.url.port).c_str(), &hints, &found) != 0)
    return MOSQ_ERR_EAI;
  err = ENOTCONN;
  for (const addrinfo* ai = found; ai && err; ai = ai->ai_next) err = try_tcp(*ai, stop_);
  freeaddrinfo(found);
  if (err) return MOSQ_ERR_ERRNO;
  first_done_ = true;
  mosquitto_property* props = nullptr;
  if (!v311_)
    mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE, kMaxIncomingPacket);
  const int rc = mosquitto_connect_bind_v5(mosq_, p_.url.host.c_str(), p_.url.port, kKeepAlive,
                                           nullptr, props);
  err = errno;
  mosquitto_property_free_all(&props);
  return rc;
}

// The network side: connect, serve the socket, and after any failure wait (1 s, doubling to
// 30 s, back to 1 s once a connection stayed up 30 s) and try again. Reconnections are opened
// without waiting for them, so that stopping never waits for a broker that does not answer.
void MqttChannel::run() {
  int err = 0;
  int rc = first_connect(err);
  while (!stop_) {
    if (rc == MOSQ_ERR_SUCCESS) {
      publish_waiting();
      rc = serve();
      err = errno;
    }
    if (rc == MOSQ_ERR_SUCCESS || stop_) continue;
    failed(rc, err);
    std::chrono::seconds delay;
    {
      std::lock_guard<std::mutex> lock(mu_);
      delay = backoff_;
      backoff_ = std::min(backoff_ * 2, kMaxBackoff);
    }
    wait_backoff(delay);
    if (stop_) break;
    {
      std::lock_guard<std::mutex> lock(mu_);
      connack_ = false;
    }
    rc = first_done_ ? mosquitto_reconnect_async(mosq_) : first_connect(err);
    if (first_done_) err = errno;
  }
  // Let the DISCONNECT go out: a connection that just vanishes makes the broker publish the last
  // will after the host's own "offline".
  for (int i = 0; i < 5 && rc == MOSQ_ERR_SUCCESS; ++i) rc = mosquitto_loop(mosq_, 100, 1);
}

// One pass over the connection, as mosquitto_loop() makes it, except that the wait also ends
// when the poll loop queues a message: what a round queues goes out at once, and an idle
// connection costs one wake-up a second.
int MqttChannel::serve() {
  const int sock = mosquitto_socket(mosq_);
  if (sock < 0) return MOSQ_ERR_NO_CONN;
  pollfd fds[2] = {{sock, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  if (mosquitto_want_write(mosq_)) fds[0].events |= POLLOUT;
  if (poll(fds, 2, kIdleWait) < 0) return errno == EINTR ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
  uint64_t woken;
  if ((fds[1].revents & POLLIN) && read(wake_fd_, &woken, sizeof woken) < 0) woken = 0;
  int rc = MOSQ_ERR_SUCCESS;
  if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(mosq_, 1);
  if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_))
    rc = mosquitto_loop_write(mosq_, 1);
  return rc == MOSQ_ERR_SUCCESS ? mosquitto_loop_misc(mosq_) : rc;
}

// The network side empties the outbox before it waits (or waits for acknowledgements with the
// window full), so a wake-up is only needed when a message lands in an empty outbox.
void MqttChannel::wake() {
  const uint64_t one = 1;
  if (wake_fd_ >= 0 && write(wake_fd_, &one, sizeof one) < 0) {
    // Full (2^64 - 2 wake-ups unread): the thread is awake anyway.
  }
}

// Says why the connection failed or ended (a refusal was said from the CONNACK callback).
void MqttChannel::failed(int rc, int err) {
  bool was_connected, answered;
  {
    std::lock_guard<std::mutex> lock(mu_);
    was_connected = connected_;
    answered = connack_;
    connected_ = false;
    failing_ = true;
    if (was_connected && std::chrono::steady_clock::now() - up_since_ >= kStableFor)
      backoff_ = std::chrono::seconds(1);
    cv_.notify_all();
  }
  if (was_connected)
    report("connection lost");
  else if (answered)
    return;
  else if (rc == MOSQ_ERR_CONN_LOST)
    report("the broker closed the connection before CONNACK" + logged_error());
  else
    report("cannot connect: " + errno_text(rc, err) + logged_error() +
           (rc == MOSQ_ERR_TLS && !p_.ca_file.empty() ? " (CA file " + p_.ca_file + ")" : ""));
}

// Hands waiting messages to libmosquitto, a window at a time. Only this thread calls into
// libmosquitto, and never while holding `mu_`: its callbacks run on this thread and take `mu_`
// themselves, and the poll loop only ever waits for `mu_` as long as a queue operation takes.
void MqttChannel::publish_waiting() {
  for (;;) {
    MqttMessage m;
    bool ordered = false;
    uint64_t tag = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (resend_) {
        resend_ = false;
        for (const auto& s : sticky_) outbox_.put_latest({s.first, s.second, true});
      }
      if (!connected_ || inflight_ >= kWindow || !outbox_.take(m, ordered, tag)) return;
      ++inflight_;
    }
    if (!hand_over(m, ordered, tag)) return;
  }
}

// False when the connection cannot take it now: the message goes back in front. A message the
// library refuses outright (too large, a topic it rejects) would be refused again: it is dropped.
bool MqttChannel::hand_over(const MqttMessage& m, bool ordered, uint64_t tag) {
  int mid = 0;
  const int rc = mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                   m.payload.data(), 1, m.retain);
  std::lock_guard<std::mutex> lock(mu_);
  if (rc == MOSQ_ERR_SUCCESS) {
    if (tag) inflight_tags_[mid] = tag;
    return true;
  }
  --inflight_;
  if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_NOMEM || rc == MOSQ_ERR_CONN_LOST) {
    outbox_.give_back(m, ordered, tag);
    return false;
  }
  if (tag) finished_.push_back(tag);
  report("message to " + m.topic.substr(0, 200) + " (" + std::to_string(m.payload.size()) +
             " bytes) refused by the MQTT library: " + mosquitto_strerror(rc) + "; dropped",
         false);
  return true;
}

void MqttChannel::wait_backoff(std::chrono::seconds delay) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, delay, [this] { return stop_.load(); });
}

void MqttChannel::on_connect(mosquitto*, void* self, int rc) {
  static_cast<MqttChannel*>(self)->connected(rc);
}

void MqttChannel::connected(int rc) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    connack_ = true;
  }
  if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION) {
    // A broker of MQTT 3.1.1 only: the next attempt speaks it, without the packet size limit.
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    v311_ = true;
    first_done_ = false;  // a connection without the v5 properties
    report("the broker does not speak MQTT v5: trying 3.1.1 (no maximum packet size)");
    return;
  }
  if (rc != 0) {
    report("the broker refused the connection: " + refusal_text(rc));
    return;
  }
  if (!p_.status_topic.empty()) mosquitto_subscribe(mosq_, nullptr, p_.status_topic.c_str(), 1);
  {
    std::lock_guard<std::mutex> lock(report_mu_);
    if (failure_told_) lines_.print("connected", std::chrono::steady_clock::now());
    failure_told_ = false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  connected_ = true;
  failing_ = false;
  up_since_ = std::chrono::steady_clock::now();
  inflight_ = 0;  // what libmosquitto still holds it sends again itself
  ++connections_;
  for (const auto& s : sticky_) outbox_.put_latest({s.first, s.second, true});
  cv_.notify_all();
}

void MqttChannel::on_publish(mosquitto*, void* self, int mid) {
  auto* c = static_cast<MqttChannel*>(self);
  std::lock_guard<std::mutex> lock(c->mu_);
  if (c->inflight_ > 0) --c->inflight_;
  const auto it = c->inflight_tags_.find(mid);
  if (it != c->inflight_tags_.end()) {
    c->finished_.push_back(it->second);
    c->inflight_tags_.erase(it);
  }
  c->cv_.notify_all();
}

// Only "online" on the discovery status topic is read; nothing else from the broker is acted on.
void MqttChannel::on_message(mosquitto*, void* self, const mosquitto_message* m) {
  auto* c = static_cast<MqttChannel*>(self);
  if (m && asks_for_resend(c->p_.status_topic, m->topic, m->payload, m->payloadlen)) {
    std::lock_guard<std::mutex> lock(c->mu_);
    c->resend_ = true;  // sent from the network loop's next pass, outside this callback
  }
}

// libmosquitto's own account of a failure (the TLS library's reason) joins the failure's line.
void MqttChannel::on_log(mosquitto*, void* self, int level, const char* text) {
  if (level != MOSQ_LOG_ERR || !text) return;
  auto* c = static_cast<MqttChannel*>(self);
  std::lock_guard<std::mutex> lock(c->report_mu_);
  c->log_error_.assign(text, strnlen(text, 512));
}

std::string MqttChannel::logged_error() {
  std::lock_guard<std::mutex> lock(report_mu_);
  std::string out = log_error_.empty() ? "" : " (" + log_error_ + ")";
  log_error_.clear();
  return out;
}

// Its own lock: libmosquitto may log from inside a call made under `mu_`.
void MqttChannel::report(const std::string& what, bool retrying) {
  std::lock_guard<std::mutex> lock(report_mu_);
  failure_told_ = failure_told_ || retrying;
  lines_.print(retrying ? what + "; retrying" : what, std::chrono::steady_clock::now());
}

void MqttChannel::put_ordered(MqttMessage m, uint64_t tag) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool idle = outbox_.waiting() == 0;
  outbox_.put_ordered(std::move(m), tag);
  if (idle) wake();
}

void MqttChannel::put_latest(MqttMessage m) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool idle = outbox_.waiting() == 0;
  outbox_.put_latest(std::move(m));
  if (idle) wake();
}

void MqttChannel::put_sticky(MqttMessage m) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = sticky_.find(m.topic);
  if (it != sticky_.end() && it->second == m.payload) return;
  if (m.payload.empty())
    sticky_.erase(m.topic);
  else
    sticky_[m.topic] = m.payload;
  const bool idle = outbox_.waiting() == 0;
  outbox_.put_latest(std::move(m));
  if (idle) wake();
}

void MqttChannel::remember(MqttMessage m) {
  std::lock_guard<std::mutex> lock(mu_);
  sticky_[m.topic] = std::move(m.payload);
}

// A resent copy still waiting must not overtake what replaced it (a clear after a raise).
void MqttChannel::forget(const std::string& topic) {
  std::lock_guard<std::mutex> lock(mu_);
  sticky_.erase(topic);
  outbox_.drop_latest(topic);
}

std::vector<uint64_t> MqttChannel::take_finished() {
  std::lock_guard<std::mutex> lock(mu_);
  const size_t n = outbox_.take_dropped(&finished_);
  if (n) {
    dropped_total_ += n;
    DiagLine() << "klx-host: " << p_.label << ": " << n
               << " alarm transitions dropped while the broker was away (" << dropped_total_
               << " in all)\n";
  }
  std::vector<uint64_t> out;
  out.swap(finished_);
  return out;
}

// A host that stops right after starting may not be connected yet: it waits for that too,
// unless the broker is away or refuses.
void MqttChannel::wait_sent(std::chrono::steady_clock::time_point deadline) {
  if (!thread_.joinable()) return;
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_until(lock, deadline,
                 [this] { return failing_ || (inflight_ == 0 && outbox_.waiting() == 0); });
}

void MqttChannel::stop(std::chrono::steady_clock::time_point deadline) {
  if (!thread_.joinable()) return;
  wait_sent(deadline);
  mosquitto_disconnect(mosq_);  // queued before the thread may see `stop_`
  stop_ = true;
  cv_.notify_all();
  wake();
  thread_.join();
}

}  // namespace klxhost
