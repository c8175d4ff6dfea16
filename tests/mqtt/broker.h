#pragma once

// A real mosquitto broker for one test, on 127.0.0.1 and a free port, with its configuration and
// files in a scratch folder; and a libmosquitto client that records what it receives. Every
// process started here is killed and reaped by its destructor.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace mqtt_test {

// A port on 127.0.0.1 that was free a moment ago.
int free_port();

// The mosquitto program, or empty when it is not installed.
std::string broker_program();

class Broker {
 public:
  // `extra` is appended to the configuration ("password_file ...", "acl_file ...").
  explicit Broker(const std::string& extra = "allow_anonymous true\n");
  ~Broker();
  bool start();  // (re)starts on the same port; false when it does not accept connections
  void stop();   // SIGTERM (it saves its persistence file), then reaped
  int port() const { return port_; }
  const std::string& dir() const { return dir_; }
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

 private:
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

struct Received {
  std::string topic;
  std::string payload;
  bool retained = false;
};

class Subscriber {
 public:
  // A persistent session (`durable`) keeps its subscription and queued messages over a broker
  // restart; the client reconnects by itself.
  Subscriber(int port, const std::string& topic, const std::string& client_id = "",
             bool durable = false, const std::string& user = "", const std::string& pw = "");
  ~Subscriber();
  // Waits (at most `limit`) until `done` holds for what was received (under the lock: `done`
  // must not call back into the subscriber).
  bool wait(const std::function<bool(const std::vector<Received>&)>& done,
            std::chrono::milliseconds limit = std::chrono::milliseconds(30000));
  std::vector<Received> received();
  // The payloads received on `topic`, in order.
  std::vector<std::string> on(const std::string& topic);

 private:
  static void on_message(mosquitto*, void* self, const mosquitto_message* m);
  mosquitto* mosq_ = nullptr;
  std::string topic_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Received> got_;
};

// Runs a program (PATH lookup) to its end; its exit code.
int run_program(const std::vector<std::string>& argv);

}  // namespace mqtt_test
