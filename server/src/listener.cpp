#include "listener.hpp"

#include "log.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

namespace kv {

namespace net = boost::asio;
using tcp = net::ip::tcp;

listener::listener(net::io_context& ioc, handler on_accept)
    : ioc_(ioc), acceptor_(net::make_strand(ioc)), on_accept_(std::move(on_accept)) {}

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
        [self = shared_from_this()](boost::system::error_code ec, tcp_socket socket) {
            if (ec) {
                // Out of descriptors and the like: keep accepting, the condition may pass.
                if (ec != net::error::operation_aborted) fail("accept", ec.message());
                if (!self->acceptor_.is_open()) return;
            } else {
                self->on_accept_(std::move(socket));
            }
            self->do_accept();
        });
}

} // namespace kv
