#include "listener.hpp"

#include "http_session.hpp"
#include "log.hpp"

#include <boost/asio/strand.hpp>

namespace kv {

namespace net = boost::asio;
using tcp = net::ip::tcp;

listener::listener(net::io_context& ioc, net::ssl::context* tls,
                   std::shared_ptr<shared_state> state, conn_limit& limits)
    : ioc_(ioc), tls_(tls), acceptor_(net::make_strand(ioc)), state_(std::move(state)),
      limits_(limits) {}

bool listener::open(const tcp::endpoint& ep, std::string& error) {
    boost::system::error_code ec;
    acceptor_.open(ep.protocol(), ec);
    if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(ep, ec);
    if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec) error = ec.message();
    return !ec;
}

tcp::endpoint listener::local_endpoint() const {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void listener::run() {
    do_accept();
}

void listener::do_accept() {
    acceptor_.async_accept(
        net::make_strand(ioc_),
        [self = shared_from_this()](boost::system::error_code ec, tcp::socket socket) {
            if (ec) {
                // Out of descriptors and the like: keep accepting, the condition may pass.
                if (ec != net::error::operation_aborted) fail("accept", ec.message());
                if (!self->acceptor_.is_open()) return;
            } else if (auto ticket = self->limits_.acquire_total()) {
                start_http_session(std::move(socket), self->tls_, self->state_, self->limits_,
                                   std::move(ticket));
            } else {
                log_event("refused", {{"why", "connection limit"}});
            }
            self->do_accept();
        });
}

} // namespace kv
