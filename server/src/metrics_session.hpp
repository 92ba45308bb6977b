#pragma once

#include "net_types.hpp"

#include <memory>

namespace kv {

class shared_state;

// Answers one GET /metrics in Prometheus text format (plain HTTP) and closes. Served only
// on loopback: the configuration refuses any other metrics address.
void serve_metrics(tcp_socket socket, std::shared_ptr<shared_state> state);

} // namespace kv
