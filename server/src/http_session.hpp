#pragma once

#include "limits.hpp"

#include "net_types.hpp"

#include <memory>

namespace kv {

class shared_state;
class tls_store;

// Serves one accepted connection: takes its place under the connection caps at once
// (a refusal only gets 429), then the TLS handshake when `tls` is given, then HTTP
// requests (/health, /ice) until one of them upgrades to a WebSocket.
void serve_connection(tcp_socket socket, const tls_store* tls, std::shared_ptr<shared_state> state,
                      conn_limit& limits);

} // namespace kv
