#include "broker.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "support/run_tool.h"
#include "support/scratch.h"

namespace mqtt_test {

int free_port() { return free_local_port(SOCK_STREAM); }

namespace {

std::string user_name() {
  const passwd* pw = getpwuid(getuid());
  return pw ? pw->pw_name : "mosquitto";
}

struct LibInit {
  LibInit() { mosquitto_lib_init(); }
};

}  // namespace

std::string broker_program() {
  for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

int run_program(const std::vector<std::string>& argv) {
  const pid_t pid = spawn_daemon(argv, klx_test::scratch_path("program.log"));
  int st = 0;
  if (pid < 0 || waitpid(pid, &st, 0) != pid) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

Broker::Broker(const std::string& extra)
    : dir_(klx_test::scratch_path("broker")), port_(free_port()) {
  mkdir(dir_.c_str(), 0700);
  std::ofstream(dir_ + "/mosquitto.conf")
      << "listener " << port_
      << " 127.0.0.1\n"
      // Started as root it would become "mosquitto" and could not read this private folder.
      << "user " << user_name() << "\n"
      << "persistence true\npersistence_location " << dir_ << "/\n"
      << extra;
}

Broker::~Broker() {
  if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
}

bool Broker::start() {
  pid_ = spawn_daemon({broker_program(), "-c", dir_ + "/mosquitto.conf"}, dir_ + "/log");
  if (pid_ < 0) return false;
  for (int i = 0; i < 500; ++i) {  // up to 5 s for a loaded machine
    const int fd = connect_local(port_);
    if (fd >= 0) return close(fd), true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return pid_ = -1, false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void Broker::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

Subscriber::Subscriber(int port, const std::string& topic, const std::string& client_id,
                       bool durable, const std::string& user, const std::string& pw) {
  static LibInit init;
  mosq_ = mosquitto_new(client_id.empty() ? nullptr : client_id.c_str(), !durable, this);
  if (!user.empty()) mosquitto_username_pw_set(mosq_, user.c_str(), pw.c_str());
  topic_ = topic;
  mosquitto_message_callback_set(mosq_, on_message);
  mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
    if (rc == 0) mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->topic_.c_str(), 1);
  });
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
  mosquitto_connect(mosq_, "127.0.0.1", port, 30);
  mosquitto_loop_start(mosq_);
}

Subscriber::~Subscriber() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, true);
  mosquitto_destroy(mosq_);
}

void Subscriber::on_message(mosquitto*, void* self, const mosquitto_message* m) {
  auto* s = static_cast<Subscriber*>(self);
  std::lock_guard<std::mutex> lock(s->mu_);
  s->got_.push_back(
      {m->topic,
       std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)),
       m->retain});
  s->cv_.notify_all();
}

bool Subscriber::wait(const std::function<bool(const std::vector<Received>&)>& done,
                      std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return done(got_); });
}

std::vector<Received> Subscriber::received() {
  std::lock_guard<std::mutex> lock(mu_);
  return got_;
}

std::vector<std::string> Subscriber::on(const std::string& topic) {
  std::vector<std::string> out;
  for (const auto& r : received())
    if (r.topic == topic) out.push_back(r.payload);
  return out;
}

}  // namespace mqtt_test
