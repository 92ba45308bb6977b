#pragma once

#include "limits.hpp"
#include "net_types.hpp"
#include "peer.hpp"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <memory>
#include <string>

namespace kv {

class shared_state;

using http_request = boost::beast::http::request<boost::beast::http::string_body>;

// What the HTTP side hands over once an upgrade request named a valid socket.
struct ws_route {
    peer::kind kind;
    std::string target; // ID or call code
    std::string addr;
    std::string source;                             // see source_key
    std::shared_ptr<boost::asio::ssl::context> tls; // kept alive for the stream
};

// Accept the upgrade in `req` on `stream` and serve the socket until it closes.
void start_websocket_session(tcp_stream stream, http_request req, ws_route route,
                             std::shared_ptr<shared_state> state, conn_limit::ticket ticket);
void start_websocket_session(boost::beast::ssl_stream<tcp_stream> stream, http_request req,
                             ws_route route, std::shared_ptr<shared_state> state,
                             conn_limit::ticket ticket);

} // namespace kv
