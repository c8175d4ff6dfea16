#pragma once

// A small HTTP/1.1 server for GET requests on its own thread. It serves every connection
// asynchronously on that one thread, so a slow client costs a socket and a timer, not a worker:
// at most `max_connections` at a time (more are closed at once), each with one deadline for the
// whole exchange and bounded header and body sizes; one request per connection.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace klxhost {

struct HttpReply {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
};

struct HttpLimits {
  size_t max_connections = 32;
  int backlog = 16;
  std::chrono::milliseconds deadline{5000};
  size_t header_limit = 8192;
  size_t body_limit = 1024;
};

// "[HOST:]PORT" ("9419", "0.0.0.0:9419", "[::1]:9419"); a bare port means the loopback address.
// False with the reason when the text is not one.
bool parse_listen(const std::string& text, std::string& host, unsigned short& port,
                  std::string& error);

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
