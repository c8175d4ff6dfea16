#include "http_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <list>
#include <optional>
#include <thread>

#include "http_request.h"

namespace klxhost {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {
class Session;
}

// Member order matters: the io_context destroys pending sessions, which touch the registry.
struct HttpServer::Impl {
  std::list<Session*> sessions;  // admitted, oldest first; the server's thread only
  size_t closing = 0;            // refused or evicted, being closed gently
  Handler handler;
  HttpLimits limits;
  std::string address;
  net::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  net::steady_timer pause{ioc};
  std::thread thread;

  void accept();
  void admit(tcp::socket s);
  size_t from_peer(const std::string& peer) const;
  bool evict_oldest_reader(const std::string* peer);
  void refuse(tcp::socket s);
};

namespace {

const char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket s, HttpServer::Impl& server, std::string peer)
      : stream_(std::move(s)),
        server_(server),
        peer_(std::move(peer)),
        buffer_(server.limits.header_limit + server.limits.body_limit) {}
  ~Session() {
    leave();
    if (closing_) --server_.closing;
  }

  // Admitted: reads one request and answers it.
  void start() {
    at_ = server_.sessions.insert(server_.sessions.end(), this);
    listed_ = true;
    stream_.expires_after(server_.limits.deadline);  // one deadline for reading and writing
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.limits.header_limit));
    parser_->body_limit(server_.limits.body_limit);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->on_read(ec); });
  }

  // Not admitted: a 503, then the gentle close.
  void refuse() {
    closing_ = true;
    ++server_.closing;
    stream_.expires_after(server_.limits.linger);
    net::async_write(stream_, net::buffer(kBusy, sizeof kBusy - 1),
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (!ec) self->close_gently();
                     });
  }

  // Makes way for a newcomer: gives up its place at once, answers 503 once its read stops, or
  // still serves a request that had arrived whole by then; either way briefly.
  void evict() {
    leave();
    evicted_ = true;
    stream_.expires_after(server_.limits.linger);
    stream_.cancel();
  }

  bool reading_header() const { return reading_ && parser_ && !parser_->is_header_done(); }
  // Part of a header came and the rest did not: stalled, as a slow client is.
  bool stalled() const { return reading_header() && parser_->got_some(); }
  const std::string& peer() const { return peer_; }

 private:
  void leave() {
    if (listed_) server_.sessions.erase(at_);
    listed_ = false;
  }

  void on_read(beast::error_code ec) {
    reading_ = false;
    if (evicted_ && (ec || !parser_->is_done())) return refuse();
    static const auto& http_errors = http::make_error_code(http::error::bad_target).category();
    if (ec == http::error::end_of_stream || (ec && ec.category() != http_errors))
      return;  // gone, reset or out of time: nothing to answer
    reply(ec ? bad_request() : answer_request(parser_->get(), server_.handler, server_.limits));
  }

  void reply(HttpReply r) {
    res_ = make_response(std::move(r));
    http::async_write(stream_, res_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (!ec) self->close_gently();
    });
  }

  // Closing a socket with unread input would reset the connection and could lose the answer on
  // its way: stop sending, then read what the client still sends until it closes (or the
  // deadline).
  void close_gently() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    drain();
  }

  void drain() {
    stream_.async_read_some(net::buffer(scrap_),
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                              if (!ec) self->drain();
                            });
  }

  beast::tcp_stream stream_;
  HttpServer::Impl& server_;
  std::string peer_;
  std::list<Session*>::iterator at_;
  bool listed_ = false;
  bool reading_ = true;
  bool evicted_ = false;
  bool closing_ = false;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpResponse res_;
  char scrap_[512];
};

std::string peer_of(const tcp::socket& s) {
  beast::error_code ec;
  const auto at = s.remote_endpoint(ec);
  return ec ? std::string() : at.address().to_string();
}

}  // namespace

size_t HttpServer::Impl::from_peer(const std::string& peer) const {
  size_t n = 0;
  for (const Session* s : sessions) n += s->peer() == peer;
  return n;
}

// The oldest admitted connection (of `peer`, or of anyone) still sending its header; one that
// sent part of it is taken first: a newcomer whose request is on its way has sent nothing yet.
bool HttpServer::Impl::evict_oldest_reader(const std::string* peer) {
  for (const bool stalled_only : {true, false})
    for (Session* s : sessions)
      if ((stalled_only ? s->stalled() : s->reading_header()) && (!peer || s->peer() == *peer)) {
        s->evict();
        return true;
      }
  return false;
}

void HttpServer::Impl::refuse(tcp::socket s) {
  if (closing >= limits.max_closing) return;  // a flood: the socket just closes
  std::make_shared<Session>(std::move(s), *this, std::string())->refuse();
}

void HttpServer::Impl::admit(tcp::socket s) {
  std::string peer = peer_of(s);
  if (from_peer(peer) >= limits.max_per_peer)
    evict_oldest_reader(&peer);
  else if (sessions.size() >= limits.max_connections)
    evict_oldest_reader(nullptr);
  if (from_peer(peer) >= limits.max_per_peer || sessions.size() >= limits.max_connections)
    return refuse(std::move(s));
  std::make_shared<Session>(std::move(s), *this, std::move(peer))->start();
}

void HttpServer::Impl::accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket s) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) {
      admit(std::move(s));
      return accept();
    }
    // Out of descriptors (or memory): accepting again at once would fail again at once.
    pause.expires_after(limits.accept_pause);
    pause.async_wait([this](beast::error_code e) {
      if (e != net::error::operation_aborted) accept();
    });
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

bool is_loopback_address(const std::string& host) {
  beast::error_code ec;
  const auto a = net::ip::make_address(host, ec);
  return !ec && a.is_loopback();
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
