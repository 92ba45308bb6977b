#include "metrics_session.hpp"

#include "shared_state.hpp"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace kv {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

struct metrics_session : std::enable_shared_from_this<metrics_session> {
    tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::empty_body> req;
    http::response<http::string_body> res;
    std::shared_ptr<shared_state> state;

    metrics_session(tcp_socket s, std::shared_ptr<shared_state> st)
        : stream(std::move(s)), state(std::move(st)) {}

    void run() {
        stream.expires_after(5s);
        http::async_read(stream, buffer, req,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (!ec) self->answer();
                         });
    }

    void answer() {
        bool found = req.target() == "/metrics" && req.method() == http::verb::get;
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

void serve_metrics(tcp_socket socket, std::shared_ptr<shared_state> state) {
    std::make_shared<metrics_session>(std::move(socket), std::move(state))->run();
}

} // namespace kv
