#include "websocket_session.hpp"

#include "log.hpp"
#include "shared_state.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <deque>

namespace kv {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using namespace std::chrono_literals;

namespace {

steady::duration secs(double s) {
    return std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(s));
}

// A close that the peer does not complete (it stopped reading) is cut after this.
constexpr auto close_grace = 5s;

template <class Stream>
class websocket_session final : public peer,
                                public std::enable_shared_from_this<websocket_session<Stream>> {
public:
    websocket_session(Stream&& stream, ws_route route, std::shared_ptr<shared_state> state,
                      conn_limit::ticket ticket)
        : peer(route.kind, std::move(route.target), std::move(route.addr), std::move(route.source)),
          tls_(std::move(route.tls)), ws_(std::move(stream)), state_(std::move(state)),
          ticket_(std::move(ticket)), timer_(ws_.get_executor()) {}

    ~websocket_session() override { state_->detach(this); }

    void run(http_request req) {
        const config& cfg = state_->cfg();
        ws_.read_message_max(cfg.max_frame);
        websocket::stream_base::timeout t{};
        t.handshake_timeout = std::chrono::duration_cast<std::chrono::seconds>(
            secs(std::max(cfg.handshake_timeout_s, 1.0)));
        // The idle check is check()'s: a client that sends nothing for the idle timeout is
        // closed, and one that does not finish the close is cut. Beast's own idle timer
        // would be re-armed on every read, a timer cancelled and waited for again per
        // relayed frame.
        t.idle_timeout = websocket::stream_base::none();
        t.keep_alive_pings = false;
        ws_.set_option(t);
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
            res.set(beast::http::field::server, "kelvora-signal/" KV_SIGNAL_VERSION);
        }));
        tokens_ = cfg.msg_burst;
        last_rx_ = tokens_at_ = steady::now();
        budget_ = state_->queues.open(
            source, [weak = this->weak_from_this()](queue_budget::over why) {
                if (auto self = weak.lock())
                    net::post(self->ws_.get_executor(), [self, why] { self->cut(why); });
            });
        ws_.async_accept(req, beast::bind_front_handler(&websocket_session::on_accept,
                                                        this->shared_from_this()));
    }

    // dispatch, not post: when this socket's strand is idle the frame is queued and its
    // write started right here on the sender's thread, instead of waking another thread
    // for it. Thread hand-overs, not JSON or the routing lock, fill the relay's profile.
    void send(std::shared_ptr<const std::string> frame) override {
        net::dispatch(ws_.get_executor(), [self = this->shared_from_this(), f = std::move(frame)] {
            self->queue(std::move(f));
        });
    }

    void close(std::string reason, close_code code) override {
        net::post(ws_.get_executor(), [self = this->shared_from_this(), r = std::move(reason),
                                       code]() mutable { self->begin_close(std::move(r), code); });
    }

private:
    void on_accept(beast::error_code ec) {
        if (ec) return fail("ws.accept", ec.message());
        running_ = true;
        state_->attach(this->shared_from_this());
        arm_timer();
        do_read();
        // A socket that slipped in while the server was stopping is told at once.
        if (state_->stopping()) begin_close("server going away", close_code::going_away);
    }

    void do_read() {
        ws_.async_read(buffer_, beast::bind_front_handler(&websocket_session::on_read,
                                                          this->shared_from_this()));
    }

    void on_read(beast::error_code ec, std::size_t) {
        if (ec) return finish(ec);
        auto now = steady::now();
        last_rx_ = now;
        if (!close_pending_) {
            const config& cfg = state_->cfg();
            tokens_ = std::min(cfg.msg_burst,
                               tokens_ + std::chrono::duration<double>(now - tokens_at_).count() *
                                             cfg.msg_rate);
            tokens_at_ = now;
            if (tokens_ < 1) {
                state_->refused("rate", {{"addr", addr}});
                begin_close("rate limit", close_code::policy);
            } else if (!ws_.got_text()) {
                state_->refused("binary frame", {{"addr", addr}});
                begin_close("text frames only", close_code::policy);
            } else {
                tokens_ -= 1;
                auto data = buffer_.cdata();
                // Only a failing random source or allocation can throw here; that must
                // cost this socket, never the process.
                try {
                    state_->on_frame(
                        this->shared_from_this(),
                        std::string_view(static_cast<const char*>(data.data()), data.size()));
                } catch (const std::exception& e) {
                    fail("frame", e.what());
                    begin_close("internal error", close_code::normal);
                }
            }
        }
        buffer_.consume(buffer_.size());
        do_read();
    }

    void finish(beast::error_code ec) {
        if (ec == websocket::error::message_too_big)
            state_->refused("frame too big", {{"addr", addr}});
        else if (ec != websocket::error::closed && ec != net::error::operation_aborted &&
                 ec != net::error::eof && ec != beast::error::timeout &&
                 ec != net::error::connection_reset)
            fail("ws.read", ec.message());
        timer_.cancel();
        state_->on_close(this->shared_from_this());
        // Drop the queue now: frames for a closed socket only hold memory.
        drop_queue();
    }

    void queue(std::shared_ptr<const std::string> frame) {
        if (close_pending_) return;
        const config& cfg = state_->cfg();
        std::size_t n = frame->size();
        // The frame being written is always allowed; a backlog behind it is bounded in
        // frames and bytes per socket. The client stopped reading: waiting politely would
        // hold memory for it. Its source's share and the process's budget are the
        // budget's to keep, which cuts the largest queues rather than this one.
        if (!queue_.empty() &&
            (queue_.size() >= cfg.max_queue || queue_bytes_ + n > cfg.max_queue_bytes)) {
            state_->refused("slow reader", {{"addr", addr}, {"over", "socket"}});
            return abort();
        }
        queue_budget::over why{};
        if (!budget_.add(n, why)) return cut(why);
        queue_bytes_ += n;
        queue_.push_back(std::move(frame));
        if (!writing_) do_write();
    }

    // The budget chose this socket's queue as one of the largest to go.
    void cut(queue_budget::over why) {
        if (closing_) return;
        state_->refused("slow reader",
                        {{"addr", addr}, {"over", why == queue_budget::over::source ? "source" : "total"}});
        abort();
    }

    void pop_front() {
        std::size_t n = queue_.front()->size();
        queue_bytes_ -= n;
        budget_.remove(n);
        queue_.pop_front();
    }

    void drop_queue() {
        budget_.remove(queue_bytes_);
        queue_bytes_ = 0;
        queue_.clear();
    }

    void do_write() {
        writing_ = true;
        ws_.text(true);
        ws_.async_write(
            net::buffer(*queue_.front()),
            beast::bind_front_handler(&websocket_session::on_write, this->shared_from_this()));
    }

    void on_write(beast::error_code ec, std::size_t) {
        writing_ = false;
        if (ec) return drop_queue();
        if (!queue_.empty()) pop_front();
        if (!queue_.empty()) return do_write();
        if (close_pending_ && !closing_) do_close();
    }

    void begin_close(std::string reason, close_code code) {
        if (close_pending_) return;
        close_pending_ = true;
        close_reason_ = std::move(reason);
        close_code_ = code;
        close_deadline_ = steady::now() + close_grace;
        if (!running_) return abort();
        if (!writing_) do_close();
    }

    void do_close() {
        closing_ = true;
        auto code = close_code_ == close_code::policy       ? websocket::close_code::policy_error
                    : close_code_ == close_code::going_away ? websocket::close_code::going_away
                                                            : websocket::close_code::normal;
        websocket::close_reason cr(code, close_reason_);
        ws_.async_close(cr, [self = this->shared_from_this()](beast::error_code) {});
    }

    void abort() {
        close_pending_ = closing_ = true;
        drop_queue();
        beast::error_code ec;
        beast::get_lowest_layer(ws_).socket().close(ec);
    }

    void arm_timer() {
        const config& cfg = state_->cfg();
        auto step = std::clamp(secs(std::min(cfg.hello_timeout_s, cfg.idle_timeout_s) / 4),
                               steady::duration(50ms), steady::duration(1s));
        timer_.expires_after(step);
        timer_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
            if (!ec) self->check();
        });
    }

    void check() {
        const config& cfg = state_->cfg();
        auto now = steady::now();
        if (close_pending_) {
            if (now > close_deadline_) return abort();
        } else if (!opened && now - accepted_at_ > secs(cfg.hello_timeout_s)) {
            state_->refused("no opening frame", {{"addr", addr}});
            begin_close("hello timeout", close_code::policy);
        } else if (now - last_rx_ > secs(cfg.idle_timeout_s)) {
            log_event("idle", {{"addr", addr}, {"target", target}});
            begin_close("idle", close_code::normal);
        }
        arm_timer();
    }

    std::shared_ptr<net::ssl::context> tls_; // declared first: outlives ws_
    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;
    std::shared_ptr<shared_state> state_;
    conn_limit::ticket ticket_;
    queue_budget::account budget_;
    net::steady_timer timer_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    bool running_ = false, writing_ = false, close_pending_ = false, closing_ = false;
    close_code close_code_ = close_code::normal;
    std::size_t queue_bytes_ = 0;
    std::string close_reason_;
    steady::time_point accepted_at_ = steady::now(), last_rx_, tokens_at_, close_deadline_;
    double tokens_ = 0;
};

template <class Stream>
void start(Stream&& stream, http_request req, ws_route route, std::shared_ptr<shared_state> state,
           conn_limit::ticket ticket) {
    // The HTTP side's deadline must not cut the socket; the WebSocket timeouts take over.
    beast::get_lowest_layer(stream).expires_never();
    std::make_shared<websocket_session<Stream>>(std::move(stream), std::move(route),
                                                std::move(state), std::move(ticket))
        ->run(std::move(req));
}

} // namespace

void start_websocket_session(tcp_stream stream, http_request req, ws_route route,
                             std::shared_ptr<shared_state> state, conn_limit::ticket ticket) {
    start(std::move(stream), std::move(req), std::move(route), std::move(state), std::move(ticket));
}

void start_websocket_session(beast::ssl_stream<tcp_stream> stream, http_request req, ws_route route,
                             std::shared_ptr<shared_state> state, conn_limit::ticket ticket) {
    start(std::move(stream), std::move(req), std::move(route), std::move(state), std::move(ticket));
}

} // namespace kv
