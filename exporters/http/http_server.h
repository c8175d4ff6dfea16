#pragma once

// A small HTTP/1.1 server for GET requests on its own thread. It serves every connection
// asynchronously on that one thread, so a slow client costs a socket and a timer, not a worker:
// at most `max_connections` at a time and `max_per_peer` from one address, each with one deadline
// for the whole exchange and bounded header and body sizes; one request per connection. When
// full, the oldest connection still sending its header makes way for the newcomer: a prober is
// served even while slow clients keep reopening theirs.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace klxhost {

struct HttpReply {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
};

struct HttpLimits {
  size_t max_connections = 32;
  size_t max_per_peer = 16;
  // Refused and evicted connections are closed gently (a 503, then their input drained for
  // `linger`) so they read the answer instead of a reset; beyond this many, they are just closed.
  size_t max_closing = 64;
  int backlog = 16;
  std::chrono::milliseconds deadline{5000};
  std::chrono::milliseconds linger{250};
  // After a failed accept (no descriptors left) the server waits this long before the next.
  std::chrono::milliseconds accept_pause{100};
  size_t header_limit = 8192;
  size_t body_limit = 1024;
  // Host header names served (lower case, no port); empty: any. IP literals always pass: only a
  // name can be rebound to our address by someone else's DNS.
  std::vector<std::string> allowed_hosts;
};

// "[HOST:]PORT" ("9419", "0.0.0.0:9419", "[::1]:9419"); a bare port means the loopback address.
// False with the reason when the text is not one.
bool parse_listen(const std::string& text, std::string& host, unsigned short& port,
                  std::string& error);
// True when `host` (an address, not a name) is a loopback address; names are never.
bool is_loopback_address(const std::string& host);

class HttpServer {
 public:
  // Called on the server's thread with the request's target ("/metrics?x=1"); must not block.
  using Handler = std::function<HttpReply(const std::string& target)>;

  // Binds and starts serving; nullptr with the reason when the address cannot be bound.
  static std::unique_ptr<HttpServer> start(const std::string& host, unsigned short port,
                                           Handler handler, HttpLimits limits, std::string& error);
  ~HttpServer();  // stops serving and closes every connection
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  std::string local_address() const;  // "127.0.0.1:9419"

  struct Impl;

 private:
  explicit HttpServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace klxhost
