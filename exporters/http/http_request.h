#pragma once

// What the HTTP server answers to one request, apart from its sockets: the method and Host checks
// around the handler, and the same for a whole request in a buffer (what the fuzz target feeds).

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "http_server.h"

namespace klxhost {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// The answer to a request read whole.
HttpReply answer_request(const HttpRequest& req, const HttpServer::Handler& handler,
                         const HttpLimits& limits);
// The answer to a request the parser refused (too large, malformed).
HttpReply bad_request();
// The Host field names a host we serve: any when `allowed` is empty, else an IP literal or one
// of the names (case-insensitive; the port and a final dot are ignored).
bool host_allowed(std::string_view host_field, const std::vector<std::string>& allowed);
// The message sent for `r`: one request per connection, never cached.
HttpResponse make_response(HttpReply r);

// Parses `raw` with the server's limits as a connection that sent it and closed, and returns the
// bytes the server would send back: empty when it would close without an answer.
std::string answer_buffer(std::string_view raw, const HttpServer::Handler& handler,
                          const HttpLimits& limits);

}  // namespace klxhost
