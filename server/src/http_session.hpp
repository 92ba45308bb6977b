#pragma once

#include "limits.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <string>

namespace kv {

class shared_state;

// Serves one accepted connection: the TLS handshake when `tls` is given, then HTTP
// requests (/health, /ice) until one of them upgrades to a WebSocket. A refusal ticket
// only gets 429.
void start_http_session(boost::asio::ip::tcp::socket socket, std::string addr,
                        std::shared_ptr<boost::asio::ssl::context> tls,
                        std::shared_ptr<shared_state> state, conn_limit& limits,
                        conn_limit::ticket ticket);

} // namespace kv
