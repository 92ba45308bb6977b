#include "metrics_listener.hpp"

#include "log.hpp"
#include "shared_state.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace kv {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

namespace {

struct metrics_session : std::enable_shared_from_this<metrics_session> {
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::empty_body> req;
    http::response<http::string_body> res;
    std::shared_ptr<shared_state> state;

    metrics_session(tcp::socket s, std::shared_ptr<shared_state> st)
        : stream(std::move(s)), state(std::move(st)) {}

    void run() {
        stream.expires_after(5s);
        http::async_read(stream, buffer, req,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (!ec) self->answer();
                         });
    }

    void answer() {
        auto target = req.target();
        bool found = target == "/metrics" && req.method() == http::verb::get;
        res = http::response<http::string_body>(found ? http::status::ok : http::status::not_found,
                                                req.version());
        res.set(http::field::content_type,
                found ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain");
        res.body() = found ? state->metrics_text() : "not found\n";
        res.keep_alive(false);
        res.prepare_payload();
        http::async_write(stream, res, [self = shared_from_this()](beast::error_code, std::size_t) {
            beast::error_code ec;
            self->stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        });
    }
};

} // namespace

metrics_listener::metrics_listener(net::io_context& ioc, std::shared_ptr<shared_state> state)
    : ioc_(ioc), acceptor_(net::make_strand(ioc)), state_(std::move(state)) {}

bool metrics_listener::open(const tcp::endpoint& ep, std::string& error) {
    boost::system::error_code ec;
    acceptor_.open(ep.protocol(), ec);
    if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(ep, ec);
    if (!ec) acceptor_.listen(64, ec);
    if (ec) error = ec.message();
    return !ec;
}

tcp::endpoint metrics_listener::local_endpoint() const {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void metrics_listener::run() {
    do_accept();
}

void metrics_listener::stop() {
    net::post(acceptor_.get_executor(), [self = shared_from_this()] {
        boost::system::error_code ec;
        self->acceptor_.close(ec);
    });
}

void metrics_listener::do_accept() {
    acceptor_.async_accept(
        net::make_strand(ioc_),
        [self = shared_from_this()](boost::system::error_code ec, tcp::socket s) {
            if (ec) {
                if (ec != net::error::operation_aborted) fail("metrics.accept", ec.message());
                if (!self->acceptor_.is_open()) return;
            } else {
                std::make_shared<metrics_session>(std::move(s), self->state_)->run();
            }
            self->do_accept();
        });
}

} // namespace kv
