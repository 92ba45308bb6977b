#include "listener.hpp"

#include "http_session.hpp"
#include "log.hpp"
#include "shared_state.hpp"
#include "tls.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

namespace kv {

namespace net = boost::asio;
using tcp = net::ip::tcp;

listener::listener(net::io_context& ioc, const tls_store* tls, std::shared_ptr<shared_state> state,
                   conn_limit& limits)
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

void listener::stop() {
    net::post(acceptor_.get_executor(), [self = shared_from_this()] {
        boost::system::error_code ec;
        self->acceptor_.close(ec);
    });
}

void listener::do_accept() {
    acceptor_.async_accept(
        net::make_strand(ioc_),
        [self = shared_from_this()](boost::system::error_code ec, tcp::socket socket) {
            if (ec) {
                // Out of descriptors and the like: keep accepting, the condition may pass.
                if (ec != net::error::operation_aborted) fail("accept", ec.message());
                if (!self->acceptor_.is_open()) return;
                return self->do_accept();
            }
            boost::system::error_code ignored;
            auto peer = socket.remote_endpoint(ignored);
            std::string addr = peer.address().to_string();
            // Behind a proxy every connection comes from the proxy: the real source is
            // known only from the request, and its cap is applied there.
            std::string source = self->state_->cfg().trust_proxy ? "" : source_key(addr);
            auto ticket = self->limits_.acquire(source);
            if (!ticket) {
                self->state_->refused("connection limit", {{"addr", addr}});
            } else {
                // Signals are small and latency is what the relay is judged by.
                socket.set_option(tcp::no_delay(true), ignored);
                start_http_session(std::move(socket), std::move(addr),
                                   self->tls_ ? self->tls_->current() : nullptr, self->state_,
                                   self->limits_, std::move(ticket));
            }
            self->do_accept();
        });
}

} // namespace kv
