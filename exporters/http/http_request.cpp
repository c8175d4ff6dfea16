#include "http_request.h"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/write.hpp>
#include <sstream>

namespace klxhost {

namespace http = boost::beast::http;

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// "name:port" -> "name", "[::1]:port" -> "::1"; a bare IPv6 literal keeps its colons.
std::string_view host_part(std::string_view field) {
  if (!field.empty() && field.front() == '[') {
    const size_t close = field.find(']');
    return close == std::string_view::npos ? field : field.substr(1, close - 1);
  }
  const size_t colon = field.find(':');
  if (colon != std::string_view::npos && field.find(':', colon + 1) == std::string_view::npos)
    return field.substr(0, colon);
  return field;
}

}  // namespace

bool host_allowed(std::string_view host_field, const std::vector<std::string>& allowed) {
  if (allowed.empty()) return true;
  std::string host = lower(host_part(host_field));
  if (!host.empty() && host.back() == '.') host.pop_back();
  if (host.empty()) return false;
  boost::system::error_code ec;
  boost::asio::ip::make_address(host, ec);
  if (!ec) return true;
  for (const auto& name : allowed)
    if (lower(name) == host) return true;
  return false;
}

HttpReply bad_request() { return {400, "text/plain; charset=utf-8", "bad request\n"}; }

HttpReply answer_request(const HttpRequest& req, const HttpServer::Handler& handler,
                         const HttpLimits& limits) {
  if (req.method() != http::verb::get)
    return {405, "text/plain; charset=utf-8", "only GET is served\n"};
  const auto host = req.find(http::field::host);
  const std::string_view field = host == req.end()
                                     ? std::string_view()
                                     : std::string_view(host->value().data(), host->value().size());
  if (!host_allowed(field, limits.allowed_hosts))
    return {403, "text/plain; charset=utf-8", "host not served here\n"};
  return handler(std::string(req.target()));
}

HttpResponse make_response(HttpReply r) {
  HttpResponse res;
  res.version(11);
  res.result(static_cast<unsigned>(r.status));
  res.set(http::field::content_type, r.content_type);
  res.set(http::field::cache_control, "no-store");
  if (r.status == 405) res.set(http::field::allow, "GET");
  res.keep_alive(false);
  res.body() = std::move(r.body);
  res.prepare_payload();
  return res;
}

std::string answer_buffer(std::string_view raw, const HttpServer::Handler& handler,
                          const HttpLimits& limits) {
  http::request_parser<http::string_body> parser;
  parser.header_limit(static_cast<std::uint32_t>(limits.header_limit));
  parser.body_limit(limits.body_limit);
  boost::beast::error_code ec;
  size_t used = 0;
  while (!ec && !parser.is_done() && used < raw.size()) {
    const size_t n = parser.put(boost::asio::buffer(raw.data() + used, raw.size() - used), ec);
    if (ec == http::error::need_more) {
      if (n == 0) break;  // the rest is incomplete: the peer's close ends it
      ec = {};
    }
    used += n;
  }
  if (!parser.got_some()) return {};  // as the session: a peer that sent nothing gets nothing
  if (!ec && !parser.is_done()) parser.put_eof(ec);
  std::ostringstream out;
  out << make_response(ec ? bad_request() : answer_request(parser.get(), handler, limits));
  return out.str();
}

}  // namespace klxhost
