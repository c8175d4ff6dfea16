#pragma once

// One connection to the broker, for one device (a client has one last will, and each device has
// its own availability topic). The network side runs on the channel's own thread: connect,
// reconnect with back-off, send and receive; only that thread calls into libmosquitto. The poll
// loop only queues messages in the bounded outbox; the thread hands the next ones over, a few in
// flight at a time.

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

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
  std::string label;         // "mqtt 127.0.0.1:1883 (data_id 7)" in messages
};

class MqttChannel {
 public:
  explicit MqttChannel(ChannelParams p);
  ~MqttChannel();
  MqttChannel(const MqttChannel&) = delete;
  MqttChannel& operator=(const MqttChannel&) = delete;

  // Sets the client up and starts its thread; false with `error` when the settings are unusable.
  bool start(std::string& error);

  void put_ordered(MqttMessage m);
  void put_latest(MqttMessage m);
  // Sent now and again after every reconnection and every "online" on the status topic
  // (availability, discovery configs).
  void put_sticky(MqttMessage m);

  // Reports dropped alarm transitions (the channel's thread hands messages over).
  void pump();
  // Sends what waits until `deadline` at most, then disconnects and joins the thread.
  void stop(std::chrono::steady_clock::time_point deadline);

  uint64_t dropped_total() const { return dropped_total_; }

 private:
  static void on_connect(mosquitto*, void* self, int rc);
  static void on_disconnect(mosquitto*, void* self, int rc);
  static void on_publish(mosquitto*, void* self, int mid);
  static void on_message(mosquitto*, void* self, const mosquitto_message* m);
  static void on_log(mosquitto*, void* self, int level, const char* text);

  void run();
  void connected(int rc);
  void report(const std::string& what);
  std::string logged_error();
  void resend_sticky();
  void publish_waiting();
  void wait_backoff(std::chrono::seconds delay);

  ChannelParams p_;
  mosquitto* mosq_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  std::mutex mu_;  // guards everything below
  std::condition_variable cv_;
  Outbox outbox_;
  std::map<std::string, std::string> sticky_;
  bool connected_ = false;
  bool failing_ = false;  // the last attempt to connect failed
  bool resend_ = false;   // "online" on the status topic: the sticky messages again
  unsigned inflight_ = 0;
  uint64_t dropped_total_ = 0;
  std::chrono::seconds backoff_{1};

  std::mutex report_mu_;
  std::set<std::string> reported_;  // since the broker last accepted
  std::string log_error_;           // libmosquitto's last error log line
};

}  // namespace klxhost
