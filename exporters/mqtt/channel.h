#pragma once

// The host's one connection to the broker, for all its devices. The network side runs on the
// channel's own thread: connect, reconnect with back-off, send and receive; only that thread
// calls into libmosquitto. The poll loop only queues messages in the bounded outbox; the thread
// hands the next ones over, a few in flight at a time.

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outbox.h"
#include "settings.h"

namespace klxhost {

struct ChannelParams {
  MqttUrl url;
  std::string client_id;
  std::string username;  // empty: anonymous
  std::string password;
  std::string ca_file;       // with mqtts://; empty: the system's certificates
  std::string will_topic;    // "offline" is left there, retained, when the connection is lost
  std::string status_topic;  // "online" there sends the sticky messages again; empty: none
  std::string label;         // "mqtt 127.0.0.1:1883" in messages
  size_t max_ordered = 4096;
};

// Lines about the connection: each text at most once a minute, with the count of the ones held
// back, so that a broker that accepts and drops every second does not flood the log.
class LineLimiter {
 public:
  explicit LineLimiter(std::string label) : label_(std::move(label)) {}
  void print(const std::string& what, std::chrono::steady_clock::time_point now);

 private:
  struct Seen {
    std::chrono::steady_clock::time_point last;
    unsigned held = 0;
  };
  std::string label_;
  std::map<std::string, Seen> seen_;
};

class MqttChannel {
 public:
  explicit MqttChannel(ChannelParams p);
  ~MqttChannel();
  MqttChannel(const MqttChannel&) = delete;
  MqttChannel& operator=(const MqttChannel&) = delete;

  // Sets the client up and starts its thread; false with `error` when the settings are unusable.
  bool start(std::string& error);

  // `tag` (non-zero) comes back from take_finished() once the broker acknowledged the message
  // or it was dropped.
  void put_ordered(MqttMessage m, uint64_t tag = 0);
  void put_latest(MqttMessage m);
  // Sent now and again after every reconnection and every "online" on the status topic
  // (availability, discovery configs); an empty payload deletes the retained message once and
  // is not sent again.
  void put_sticky(MqttMessage m);
  // How many times the broker accepted the connection: the caller republishes what the broker
  // may have lost when it changes.
  unsigned connections() const { return connections_; }
  // Sent again after every reconnection, not now (an active alarm, whose raise is ordered).
  void remember(MqttMessage m);
  void forget(const std::string& topic);

  // Reports dropped messages; the tags of ordered messages the broker acknowledged or that were
  // dropped since the last call.
  std::vector<uint64_t> take_finished();
  // Waits until what was queued is acknowledged, the connection fails, or `deadline`.
  void wait_sent(std::chrono::steady_clock::time_point deadline);
  // Sends what waits until `deadline` at most, then disconnects and joins the thread.
  void stop(std::chrono::steady_clock::time_point deadline);

  uint64_t dropped_total() const { return dropped_total_; }

 private:
  static void on_connect(mosquitto*, void* self, int rc);
  static void on_publish(mosquitto*, void* self, int mid);
  static void on_message(mosquitto*, void* self, const mosquitto_message* m);
  static void on_log(mosquitto*, void* self, int level, const char* text);

  bool configure(std::string& error);
  void run();
  int first_connect(int& err);
  void failed(int rc, int err);
  void connected(int rc);
  void report(const std::string& what, bool retrying = true);
  std::string logged_error();
  int serve();
  void wake();
  void publish_waiting();
  bool hand_over(const MqttMessage& m, bool ordered, uint64_t tag);
  void wait_backoff(std::chrono::seconds delay);

  ChannelParams p_;
  mosquitto* mosq_ = nullptr;
  std::thread thread_;
  int wake_fd_ = -1;  // an eventfd: the poll loop queued something
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> connections_{0};
  bool first_done_ = false;  // the CONNECT properties are set (network thread only)
  bool v311_ = false;        // the broker speaks MQTT 3.1.1 only (network thread only)

  std::mutex mu_;  // guards everything below
  std::condition_variable cv_;
  Outbox outbox_;
  std::map<std::string, std::string> sticky_;
  bool connected_ = false;
  bool connack_ = false;  // the current attempt got an answer to its CONNECT
  bool failing_ = false;  // the last attempt to connect failed
  bool resend_ = false;   // "online" on the status topic: the sticky messages again
  unsigned inflight_ = 0;
  std::map<int, uint64_t> inflight_tags_;  // message id -> tag, until acknowledged
  std::vector<uint64_t> finished_;
  uint64_t dropped_total_ = 0;
  std::chrono::seconds backoff_{1};
  std::chrono::steady_clock::time_point up_since_;

  std::mutex report_mu_;
  LineLimiter lines_;
  bool failure_told_ = false;  // a failure was printed since the last "connected"
  std::string log_error_;      // libmosquitto's last error log line
};

}  // namespace klxhost
