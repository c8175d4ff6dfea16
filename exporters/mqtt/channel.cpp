#include "channel.h"

#include <cstring>
#include <iostream>
#include <system_error>

namespace klxhost {
namespace {

// Alarm transitions kept while the broker is away; far more than a site's alarm keys, so that
// only a very long outage of a flapping site drops any.
constexpr size_t kMaxOrdered = 4096;
// Messages handed to libmosquitto and not yet acknowledged: its own queue stays this short.
constexpr unsigned kWindow = 16;
constexpr int kKeepAlive = 30;
constexpr std::chrono::seconds kMaxBackoff{30};
constexpr size_t kMaxReasons = 8;
// The network loop's wait for the socket: also how long a queued message may wait to be handed
// over, since the poll loop never calls into libmosquitto itself.
constexpr int kLoopWait = 50;

struct LibInit {
  LibInit() { mosquitto_lib_init(); }
};

}  // namespace

MqttChannel::MqttChannel(ChannelParams p) : p_(std::move(p)), outbox_(kMaxOrdered) {
  static LibInit init;
}

MqttChannel::~MqttChannel() {
  stop(std::chrono::steady_clock::now());
  if (mosq_) mosquitto_destroy(mosq_);
}

bool MqttChannel::start(std::string& error) {
  mosq_ = mosquitto_new(p_.client_id.c_str(), true, this);
  if (!mosq_) {
    error = "cannot create an MQTT client";
    return false;
  }
  mosquitto_threaded_set(mosq_, true);
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  if (!p_.username.empty())
    mosquitto_username_pw_set(mosq_, p_.username.c_str(),
                              p_.password.empty() ? nullptr : p_.password.c_str());
  if (p_.url.tls) {
    const char* ca = p_.ca_file.empty() ? nullptr : p_.ca_file.c_str();
    const int rc =
        mosquitto_tls_set(mosq_, ca, ca ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = std::string("TLS set-up: ") + mosquitto_strerror(rc);
      return false;
    }
  }
  mosquitto_will_set(mosq_, p_.will_topic.c_str(), 7, "offline", 1, true);
  mosquitto_connect_callback_set(mosq_, on_connect);
  mosquitto_disconnect_callback_set(mosq_, on_disconnect);
  mosquitto_publish_callback_set(mosq_, on_publish);
  mosquitto_message_callback_set(mosq_, on_message);
  mosquitto_log_callback_set(mosq_, on_log);
  thread_ = std::thread([this] { run(); });
  return true;
}

// The network side: connect, serve the socket, and after any failure wait (1 s, doubling to
// 30 s, back to 1 s once the broker accepts) and try again. Connections are opened without
// waiting for them, so that stopping never waits for a broker that does not answer.
void MqttChannel::run() {
  int rc = mosquitto_connect_async(mosq_, p_.url.host.c_str(), p_.url.port, kKeepAlive);
  while (!stop_) {
    if (rc == MOSQ_ERR_SUCCESS) {
      publish_waiting();
      rc = mosquitto_loop(mosq_, kLoopWait, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS || stop_) continue;
    // A lost connection and a refusal by the broker were reported from the callbacks.
    if (rc != MOSQ_ERR_CONN_LOST && rc != MOSQ_ERR_NO_CONN && rc != MOSQ_ERR_CONN_REFUSED)
      report(
          std::string("cannot connect: ") +
          (rc == MOSQ_ERR_ERRNO ? std::generic_category().message(errno) : mosquitto_strerror(rc)) +
          logged_error());
    std::chrono::seconds delay;
    {
      std::lock_guard<std::mutex> lock(mu_);
      failing_ = true;
      cv_.notify_all();
      delay = backoff_;
      backoff_ = std::min(backoff_ * 2, kMaxBackoff);
    }
    wait_backoff(delay);
    if (!stop_) rc = mosquitto_reconnect_async(mosq_);
  }
  // Let the DISCONNECT go out: a connection that just vanishes makes the broker publish the last
  // will after the host's own "offline".
  for (int i = 0; i < 5 && rc == MOSQ_ERR_SUCCESS; ++i) rc = mosquitto_loop(mosq_, 100, 1);
}

// Hands waiting messages to libmosquitto, a window at a time. Only this thread calls into
// libmosquitto, and never while holding `mu_`: its callbacks run on this thread and take `mu_`
// themselves, and the poll loop only ever waits for `mu_` as long as a queue operation takes.
void MqttChannel::publish_waiting() {
  for (;;) {
    MqttMessage m;
    bool ordered = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (resend_) {
        resend_ = false;
        for (const auto& s : sticky_) outbox_.put_latest({s.first, s.second, true});
      }
      if (!connected_ || inflight_ >= kWindow || !outbox_.take(m, ordered)) return;
      ++inflight_;
    }
    const int rc =
        mosquitto_publish(mosq_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                          m.payload.data(), 1, m.retain);
    if (rc == MOSQ_ERR_SUCCESS) continue;
    std::lock_guard<std::mutex> lock(mu_);
    --inflight_;
    outbox_.give_back(std::move(m), ordered);
    return;
  }
}

void MqttChannel::wait_backoff(std::chrono::seconds delay) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, delay, [this] { return stop_.load(); });
}

void MqttChannel::on_connect(mosquitto*, void* self, int rc) {
  static_cast<MqttChannel*>(self)->connected(rc);
}

void MqttChannel::connected(int rc) {
  if (rc != 0) {
    report(std::string("the broker refused the connection: ") + mosquitto_connack_string(rc));
    return;
  }
  if (!p_.status_topic.empty()) mosquitto_subscribe(mosq_, nullptr, p_.status_topic.c_str(), 1);
  {
    std::lock_guard<std::mutex> lock(report_mu_);
    if (!reported_.empty()) std::cerr << "klx-host: " << p_.label << ": connected\n";
    reported_.clear();
  }
  std::lock_guard<std::mutex> lock(mu_);
  connected_ = true;
  failing_ = false;
  inflight_ = 0;  // what libmosquitto still holds it sends again itself
  backoff_ = std::chrono::seconds(1);
  for (const auto& s : sticky_) outbox_.put_latest({s.first, s.second, true});
  cv_.notify_all();
}

void MqttChannel::on_disconnect(mosquitto*, void* self, int rc) {
  auto* c = static_cast<MqttChannel*>(self);
  bool was_connected = false;
  {
    std::lock_guard<std::mutex> lock(c->mu_);
    was_connected = c->connected_;
    c->connected_ = false;
  }
  if (rc != 0 && was_connected && !c->stop_) c->report("connection lost");
}

void MqttChannel::on_publish(mosquitto*, void* self, int) {
  auto* c = static_cast<MqttChannel*>(self);
  std::lock_guard<std::mutex> lock(c->mu_);
  if (c->inflight_ > 0) --c->inflight_;
  c->cv_.notify_all();
}

// Only "online" on the discovery status topic is read; nothing else from the broker is acted on.
void MqttChannel::on_message(mosquitto*, void* self, const mosquitto_message* m) {
  auto* c = static_cast<MqttChannel*>(self);
  if (!m || !m->topic || c->p_.status_topic != m->topic) return;
  if (m->payloadlen == 6 && std::memcmp(m->payload, "online", 6) == 0) c->resend_sticky();
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

// Sent again from the network loop's next pass, outside this callback.
void MqttChannel::resend_sticky() {
  std::lock_guard<std::mutex> lock(mu_);
  resend_ = true;
}

// Each reason once until the broker accepts, so that a broker refusing every few seconds (or a
// TLS failure that libmosquitto logs besides returning it) does not flood the log. Its own
// lock: libmosquitto may log from inside a call made under `mu_`.
void MqttChannel::report(const std::string& what) {
  std::lock_guard<std::mutex> lock(report_mu_);
  if (reported_.size() >= kMaxReasons || !reported_.insert(what).second) return;
  std::cerr << "klx-host: " << p_.label << ": " << what << "; retrying\n";
}

void MqttChannel::put_ordered(MqttMessage m) {
  std::lock_guard<std::mutex> lock(mu_);
  outbox_.put_ordered(std::move(m));
}

void MqttChannel::put_latest(MqttMessage m) {
  std::lock_guard<std::mutex> lock(mu_);
  outbox_.put_latest(std::move(m));
}

void MqttChannel::put_sticky(MqttMessage m) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = sticky_.find(m.topic);
  if (it != sticky_.end() && it->second == m.payload) return;
  sticky_[m.topic] = m.payload;
  outbox_.put_latest(std::move(m));
}

void MqttChannel::pump() {
  std::lock_guard<std::mutex> lock(mu_);
  if (const size_t n = outbox_.take_dropped()) {
    dropped_total_ += n;
    std::cerr << "klx-host: " << p_.label << ": " << n
              << " alarm transitions dropped while the broker was away (" << dropped_total_
              << " in all)\n";
  }
}

// A host that stops right after starting may not be connected yet: it waits for that too,
// unless the broker is away or refuses.
void MqttChannel::stop(std::chrono::steady_clock::time_point deadline) {
  if (!thread_.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_until(lock, deadline,
                   [this] { return failing_ || (inflight_ == 0 && outbox_.waiting() == 0); });
  }
  mosquitto_disconnect(mosq_);  // queued before the thread may see `stop_`
  stop_ = true;
  cv_.notify_all();
  thread_.join();
  // What was still waiting is lost with the process: say so when it held alarm transitions.
  std::lock_guard<std::mutex> lock(mu_);
  MqttMessage m;
  bool ordered = false;
  size_t lost = 0;
  while (outbox_.take(m, ordered)) lost += ordered;
  if (lost)
    std::cerr << "klx-host: " << p_.label << ": " << lost << " alarm transitions not sent\n";
}

}  // namespace klxhost
