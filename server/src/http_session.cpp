#include "http_session.hpp"

#include "log.hpp"
#include "shared_state.hpp"
#include "tls.hpp"
#include "websocket_session.hpp"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <optional>

namespace kv {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using namespace std::chrono_literals;

namespace {

constexpr int max_requests_per_connection = 100;

std::optional<ws_route> route_of(std::string_view target) {
    if (auto q = target.find('?'); q != std::string_view::npos) target = target.substr(0, q);
    static const std::pair<std::string_view, peer::kind> prefixes[] = {
        {"/host/", peer::kind::host},
        {"/join/", peer::kind::join},
        {"/ring/", peer::kind::ring},
        {"/call/", peer::kind::call}};
    for (auto& [prefix, kind] : prefixes) {
        if (target.substr(0, prefix.size()) != prefix) continue;
        std::string arg(target.substr(prefix.size()));
        if (kind == peer::kind::call) {
            if (!valid_code(arg)) return std::nullopt;
            for (auto& c : arg)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        } else if (!valid_id(arg)) {
            return std::nullopt;
        }
        return ws_route{kind, std::move(arg), {}, {}, {}};
    }
    return std::nullopt;
}

// Whether `addr` is one of the proxies whose X-Forwarded-For is believed.
bool from_proxy(const config& c, const std::string& addr) {
    if (!c.trust_proxy) return false;
    boost::system::error_code ec;
    auto a = net::ip::make_address(addr, ec);
    if (ec) return false;
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        a = net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6());
    for (const auto& p : c.proxies) {
        auto b = net::ip::make_address(p, ec);
        if (!ec && a == b) return true;
    }
    return false;
}

std::string client_address(const http_request& req, const std::string& tcp_addr, bool trust) {
    if (!trust) return tcp_addr;
    auto xff = req["X-Forwarded-For"];
    if (xff.empty()) return tcp_addr;
    auto comma = xff.rfind(',');
    std::string_view last = comma == std::string_view::npos ? xff : xff.substr(comma + 1);
    while (!last.empty() && last.front() == ' ')
        last.remove_prefix(1);
    while (!last.empty() && last.back() == ' ')
        last.remove_suffix(1);
    // Only an address counts: anything else would become a source of its own choosing.
    boost::system::error_code ec;
    auto a = net::ip::make_address(std::string(last), ec);
    if (ec) return tcp_addr;
    return a.to_string();
}

template <class Stream>
class http_session : public std::enable_shared_from_this<http_session<Stream>> {
    static constexpr bool tls = !std::is_same_v<Stream, tcp_stream>;

public:
    http_session(Stream&& stream, std::string addr, std::shared_ptr<net::ssl::context> tls,
                 std::shared_ptr<shared_state> state, conn_limit& limits, conn_limit::ticket ticket)
        : stream_(std::move(stream)), tcp_addr_(std::move(addr)), tls_(std::move(tls)),
          state_(std::move(state)), limits_(limits), ticket_(std::move(ticket)) {}

    void run() {
        beast::get_lowest_layer(stream_).expires_after(deadline());
        if constexpr (tls) {
            stream_.async_handshake(
                net::ssl::stream_base::server,
                beast::bind_front_handler(&http_session::on_handshake, this->shared_from_this()));
        } else {
            do_read();
        }
    }

private:
    void on_handshake(beast::error_code ec) {
        if (ec) return; // scanners and dropped handshakes are not worth a log line
        do_read();
    }

    // A slot held by a client that says nothing is a slot an attacker gets for free: the
    // handshake and every request must come within seconds.
    steady::duration deadline() const { return seconds_of(state_->cfg().handshake_timeout_s); }

    void do_read() {
        parser_.emplace();
        parser_->header_limit(8 * 1024);
        parser_->body_limit(4 * 1024);
        beast::get_lowest_layer(stream_).expires_after(deadline());
        http::async_read(
            stream_, buffer_, *parser_,
            beast::bind_front_handler(&http_session::on_read, this->shared_from_this()));
    }

    void on_read(beast::error_code ec, std::size_t) {
        if (ec) return close();
        http_request req = parser_->release();
        std::string addr = client_address(req, tcp_addr_, from_proxy(state_->cfg(), tcp_addr_));
        if (ticket_.overflow() || !limits_.assign(ticket_, source_key(addr))) {
            state_->refused("connection limit", {{"addr", addr}});
            return too_many(req);
        }
        if (beast::websocket::is_upgrade(req)) {
            if (state_->stopping()) return too_many(req);
            auto route = route_of(req.target());
            if (!route)
                return reply(req, http::status::not_found, "text/plain", "not found\n", false);
            route->addr = addr;
            route->source = source_key(addr);
            route->tls = tls_;
            return start_websocket_session(std::move(stream_), std::move(req), std::move(*route),
                                           state_, std::move(ticket_));
        }
        auto target = req.target();
        if (auto q = target.find('?'); q != std::string_view::npos) target = target.substr(0, q);
        bool known = target == "/health" || target == "/ice";
        if (!known) return reply(req, http::status::not_found, "text/plain", "not found\n", true);
        if (req.method() == http::verb::options)
            return reply(req, http::status::no_content, "", "", true);
        if (req.method() != http::verb::get && req.method() != http::verb::head)
            return reply(req, http::status::method_not_allowed, "text/plain", "GET only\n", true);
        if (target == "/ice")
            return reply(req, http::status::ok, "application/json", state_->ice_json(), true);
        bool ok = false;
        std::string health = state_->health_json(ok);
        return reply(req, ok ? http::status::ok : http::status::service_unavailable,
                     "application/json", std::move(health), true);
    }

    void too_many(const http_request& req) {
        reply(req, http::status::too_many_requests, "text/plain",
              "too many connections, try again later\n", false, "30");
    }

    void reply(const http_request& req, http::status status, std::string_view type,
               std::string body, bool keep, std::string_view retry_after = {}) {
        auto res = std::make_shared<http::response<http::string_body>>(status, req.version());
        res->set(http::field::server, "kelvora-signal/" KV_SIGNAL_VERSION);
        if (!retry_after.empty()) res->set(http::field::retry_after, retry_after);
        // The web client runs on its own local origin; these answers hold nothing private.
        res->set(http::field::access_control_allow_origin, "*");
        res->set(http::field::access_control_allow_methods, "GET, OPTIONS");
        res->set(http::field::cache_control, "no-store");
        if (!type.empty()) res->set(http::field::content_type, type);
        std::size_t size = body.size();
        bool head = req.method() == http::verb::head;
        res->body() = head ? std::string() : std::move(body);
        res->prepare_payload();
        if (head) res->content_length(size);
        keep = keep && req.keep_alive() && ++served_ < max_requests_per_connection;
        res->keep_alive(keep);
        http::async_write(
            stream_, *res,
            [self = this->shared_from_this(), res, keep](beast::error_code ec, std::size_t) {
                if (ec || !keep) return self->close();
                self->do_read();
            });
    }

    void close() {
        beast::error_code ec;
        if constexpr (tls) {
            beast::get_lowest_layer(stream_).expires_after(deadline());
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
        } else {
            stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ec);
        }
    }

    Stream stream_;
    std::string tcp_addr_;
    std::shared_ptr<net::ssl::context> tls_; // outlives the stream that uses it
    std::shared_ptr<shared_state> state_;
    conn_limit& limits_;
    conn_limit::ticket ticket_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    int served_ = 0;
};

void start(tcp_socket socket, std::string addr, std::shared_ptr<net::ssl::context> tls,
           std::shared_ptr<shared_state> state, conn_limit& limits, conn_limit::ticket ticket) {
    if (tls) {
        auto& ctx = *tls;
        std::make_shared<http_session<beast::ssl_stream<tcp_stream>>>(
            beast::ssl_stream<tcp_stream>(std::move(socket), ctx), std::move(addr), std::move(tls),
            std::move(state), limits, std::move(ticket))
            ->run();
    } else {
        std::make_shared<http_session<tcp_stream>>(tcp_stream(std::move(socket)), std::move(addr),
                                                   nullptr, std::move(state), limits,
                                                   std::move(ticket))
            ->run();
    }
}

} // namespace

void serve_connection(tcp_socket socket, const tls_store* tls, std::shared_ptr<shared_state> state,
                      conn_limit& limits) {
    beast::error_code ec;
    std::string addr = socket.remote_endpoint(ec).address().to_string();
    if (ec) return;
    // A proxy's connections carry many clients: their real source is known only from the
    // request, and its cap is applied there. Everyone else is counted at accept.
    std::string source = from_proxy(state->cfg(), addr) ? "" : source_key(addr);
    auto ticket = limits.acquire(source);
    if (!ticket) return state->refused("connection limit", {{"addr", addr}});
    // Signals are small and latency is what the relay is judged by.
    socket.set_option(net::ip::tcp::no_delay(true), ec);
    start(std::move(socket), std::move(addr), tls ? tls->current() : nullptr, std::move(state),
          limits, std::move(ticket));
}

} // namespace kv
