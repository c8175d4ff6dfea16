#include "http_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <thread>

namespace klxhost {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

// Member order matters: the io_context destroys pending sessions, which touch `active`.
struct HttpServer::Impl {
  size_t active = 0;  // sessions alive; the server's thread only
  Handler handler;
  HttpLimits limits;
  std::string address;
  net::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  std::thread thread;

  void accept();
  void refuse(tcp::socket& s);
};

namespace {

const char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket s, HttpServer::Impl& server)
      : stream_(std::move(s)),
        server_(server),
        buffer_(server.limits.header_limit + server.limits.body_limit) {
    ++server_.active;
  }
  ~Session() { --server_.active; }

  void start() {
    stream_.expires_after(server_.limits.deadline);  // one deadline for reading and writing
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.limits.header_limit));
    parser_->body_limit(server_.limits.body_limit);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->on_read(ec); });
  }

 private:
  void on_read(beast::error_code ec) {
    static const auto& http_errors = http::make_error_code(http::error::bad_target).category();
    if (ec == http::error::end_of_stream || (ec && ec.category() != http_errors))
      return;  // gone, reset or out of time: nothing to answer
    if (ec) return reply({400, "text/plain; charset=utf-8", "bad request\n"});
    const auto& req = parser_->get();
    if (req.method() != http::verb::get)
      return reply({405, "text/plain; charset=utf-8", "only GET is served\n"});
    reply(server_.handler(std::string(req.target())));
  }

  void reply(HttpReply r) {
    res_.version(11);
    res_.result(static_cast<unsigned>(r.status));
    res_.set(http::field::content_type, r.content_type);
    res_.set(http::field::cache_control, "no-store");
    if (r.status == 405) res_.set(http::field::allow, "GET");
    res_.keep_alive(false);
    res_.body() = std::move(r.body);
    res_.prepare_payload();
    http::async_write(stream_, res_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return;
      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
      self->drain();
    });
  }

  // Reads what the client still sends until it closes (or the deadline): closing a socket with
  // unread input would reset the connection and could lose the answer on its way.
  void drain() {
    stream_.async_read_some(net::buffer(scrap_),
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                              if (!ec) self->drain();
                            });
  }

  beast::tcp_stream stream_;
  HttpServer::Impl& server_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> res_;
  char scrap_[512];
};

}  // namespace

// Beyond the bound a connection gets a short refusal, written without waiting, and is closed.
void HttpServer::Impl::refuse(tcp::socket& s) {
  beast::error_code ec;
  s.non_blocking(true, ec);
  s.write_some(net::buffer(kBusy, sizeof kBusy - 1), ec);
  s.close(ec);
}

void HttpServer::Impl::accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket s) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) {
      if (active >= limits.max_connections)
        refuse(s);
      else
        std::make_shared<Session>(std::move(s), *this)->start();
    }
    accept();
  });
}

bool parse_listen(const std::string& text, std::string& host, unsigned short& port,
                  std::string& error) {
  std::string port_text = text;
  host = "127.0.0.1";
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
  }
  const bool digits = !port_text.empty() && port_text.size() <= 5 &&
                      port_text.find_first_not_of("0123456789") == std::string::npos;
  if (host.empty() || !digits || std::stoul(port_text) > 65535) {
    error = "\"" + text + "\" is not [HOST:]PORT";
    return false;
  }
  port = static_cast<unsigned short>(std::stoul(port_text));
  return true;
}

HttpServer::HttpServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<HttpServer> HttpServer::start(const std::string& host, unsigned short port,
                                              Handler handler, HttpLimits limits,
                                              std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->handler = std::move(handler);
  impl->limits = limits;
  beast::error_code ec;
  tcp::resolver resolver(impl->ioc);
  const auto found =
      resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
  tcp::acceptor& a = impl->acceptor;
  if (!ec && found.empty()) ec = net::error::host_not_found;
  if (!ec) a.open(found.begin()->endpoint().protocol(), ec);
  if (!ec) a.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(found.begin()->endpoint(), ec);
  if (!ec) a.listen(limits.backlog, ec);
  if (ec) {
    error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message();
    return nullptr;
  }
  const tcp::endpoint at = a.local_endpoint(ec);
  const std::string ip = at.address().to_string();
  impl->address = (at.address().is_v6() ? "[" + ip + "]" : ip) + ":" + std::to_string(at.port());
  impl->accept();
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->ioc.run(); });
  return std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
}

HttpServer::~HttpServer() {
  impl_->ioc.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string HttpServer::local_address() const { return impl_->address; }

}  // namespace klxhost
