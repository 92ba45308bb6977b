#include "http/server.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "http/fields.hpp"
#include "platform/net.hpp"

namespace kelvora::http {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr int kMaxConnections = 256;
constexpr auto kIdleTimeout = std::chrono::seconds(75);
constexpr auto kDrainTime = std::chrono::seconds(10);
// A streaming client that takes nothing for this long is cut off; its stream ends.
constexpr auto kStreamWriteTimeout = std::chrono::seconds(15);

// A single worker taking jobs in order: the request thread.
class SerialWorker {
public:
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return !jobs_.empty(); });
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::thread thread_;
};

// The threads that run authorised POSTs. A long poll or a running command holds its thread,
// so threads are made on demand, up to a bound that a flood of requests can't pass; an idle
// one waits a while for the next job before it ends.
class PostPool {
public:
    // False when every thread is busy and no other can be made.
    bool try_run(std::function<void()> job) {
        std::lock_guard lock(mutex_);
        if (idle_ > jobs_.size()) {
            jobs_.push_back(std::move(job));
            cv_.notify_one();
            return true;
        }
        if (threads_ >= kMaxPostThreads) return false;
        try {
            std::thread([this] { work(); }).detach();
        } catch (const std::system_error&) {
            return false;
        }
        ++threads_;
        jobs_.push_back(std::move(job));
        return true;
    }

private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            const bool got = cv_.wait_for(lock, kIdleThread, [this] { return !jobs_.empty(); });
            --idle_;
            if (!got) {
                --threads_;
                return;
            }
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    static constexpr std::size_t kMaxPostThreads = 64;
    static constexpr auto kIdleThread = std::chrono::seconds(30);
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
};

} // namespace

struct LocalServer::Impl {
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    std::shared_ptr<const RequestHandler> handler;
    SerialWorker request_thread;
    PostPool posts;
    const Log* log = nullptr;
    std::atomic<int> connections{0};
    std::thread accept_thread;
    // Refusals of other users' connections, logged at most once a minute with how many.
    std::chrono::steady_clock::time_point last_refusal_logged{};
    int refusals_unlogged = 0;

    void accept();
    bool from_other_user(const tcp::socket& socket);
};

namespace {

Request to_request(const bhttp::request<bhttp::string_body>& m) {
    Request r;
    r.method = std::string(m.method_string());
    r.target = std::string(m.target());
    for (const auto& f : m) {
        std::string name(f.name_string());
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        r.headers.emplace(std::move(name), std::string(f.value()));
    }
    r.body = m.body();
    return r;
}

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket&& socket, LocalServer::Impl& server)
        : stream_(std::move(socket)), server_(server) {
        ++server_.connections;
    }
    ~Connection() { --server_.connections; }

    void read() {
        parser_.emplace();
        parser_->body_limit(kMaxBody);
        parser_->header_limit(32 * 1024);
        stream_.expires_after(kIdleTimeout);
        bhttp::async_read(stream_, buffer_, *parser_,
                          beast::bind_front_handler(&Connection::on_read, shared_from_this()));
    }

private:
    void on_read(beast::error_code ec, std::size_t) {
        // A body over the limit is refused without running anything; after the answer its
        // rest is read and dropped, and the connection closes.
        const bool cut = ec == bhttp::error::body_limit;
        if (ec && !cut) return close();
        const auto& msg = parser_->get();
        keep_alive_ = msg.keep_alive() && !cut;
        unread_body_ = cut;
        head_ = msg.method() == bhttp::verb::head;
        version_ = msg.version();
        Request req = to_request(msg);
        req.body_too_large = cut;
        if (cut) req.body.clear();
        stream_.expires_never();

        auto self = shared_from_this();
        // Asked before the request moves into the job below.
        const bool runs_long = server_.handler->runs_long(req);
        auto answer = [self, req = std::move(req)]() mutable {
            Response res = self->server_.handler->handle(req);
            if (res.stream) return self->stream_body(std::move(res));
            net::post(self->stream_.get_executor(),
                      [self, res = std::move(res)]() mutable { self->write(std::move(res)); });
        };
        if (!runs_long) return server_.request_thread.post(std::move(answer));
        if (server_.posts.try_run(std::move(answer))) return;
        keep_alive_ = false;
        write({503, "application/json; charset=utf-8",
               to_compact(refusal("Kelvora está ocupado; intenta de nuevo en un momento"))});
    }

    void write(Response r) {
        auto res = std::make_shared<bhttp::response<bhttp::string_body>>(
            static_cast<bhttp::status>(r.status), version_);
        res->set(bhttp::field::content_type, r.content_type);
        for (const auto& [name, value] : security_headers())
            res->set(name, value);
        res->keep_alive(keep_alive_);
        const std::size_t length = r.body.size();
        if (!head_) res->body() = std::move(r.body);
        res->content_length(length);
        stream_.expires_after(kIdleTimeout);
        bhttp::async_write(stream_, *res,
                           [self = shared_from_this(), res](beast::error_code ec, std::size_t) {
                               if (!ec && self->unread_body_) return self->drain();
                               if (ec || !self->keep_alive_) return self->close();
                               self->read();
                           });
    }

    // Runs on the thread that made the response: it waits for each piece of the body and
    // for each write, while the writes themselves run on the connection's own thread. The
    // connection closes when the body ends or the client goes away; dropping the source
    // then tells its maker to stop.
    void stream_body(Response r) {
        auto source = std::move(r.stream);
        auto head = std::make_shared<bhttp::response<bhttp::empty_body>>(
            static_cast<bhttp::status>(r.status), version_);
        head->set(bhttp::field::content_type, r.content_type);
        for (const auto& [name, value] : security_headers())
            head->set(name, value);
        for (const auto& [name, value] : r.headers)
            head->set(name, value);
        head->keep_alive(false);
        head->chunked(true);
        auto serializer = std::make_shared<bhttp::response_serializer<bhttp::empty_body>>(*head);
        bool ok = on_own_thread([this, serializer](auto done) {
            bhttp::async_write_header(stream_, *serializer, std::move(done));
        });
        while (ok && !head_) {
            auto piece = source->next();
            if (!piece) break;
            if (piece->empty()) continue;
            auto data = std::make_shared<std::string>(std::move(*piece));
            ok = on_own_thread([this, data](auto done) {
                net::async_write(stream_, bhttp::make_chunk(net::buffer(*data)),
                                 [data, done = std::move(done)](beast::error_code ec,
                                                                std::size_t n) { done(ec, n); });
            });
        }
        if (ok && !head_)
            on_own_thread([this](auto done) {
                net::async_write(stream_, bhttp::make_chunk_last(), std::move(done));
            });
        source.reset();
        net::post(stream_.get_executor(), [self = shared_from_this()] { self->close(); });
    }

    // Starts an asynchronous write on the connection's thread and waits for its end; false
    // when it failed or timed out.
    template <class Start> bool on_own_thread(Start start) {
        auto result = std::make_shared<std::promise<bool>>();
        auto finished = result->get_future();
        net::post(stream_.get_executor(), [this, self = shared_from_this(), result, start]() {
            stream_.expires_after(kStreamWriteTimeout);
            start([result](beast::error_code ec, std::size_t) { result->set_value(!ec); });
        });
        return finished.get();
    }

    // The client may still be sending the body we refused; closing now would reset the
    // connection and lose the reply. Its rest is read and dropped, for a bounded time.
    void drain() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.expires_after(kDrainTime);
        drain_buffer_.resize(64 * 1024);
        drain_more();
    }
    void drain_more() {
        stream_.async_read_some(net::buffer(drain_buffer_),
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    if (ec) return self->stream_.close();
                                    self->drain_more();
                                });
    }

    void close() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.close();
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    LocalServer::Impl& server_;
    bool unread_body_ = false;
    std::vector<char> drain_buffer_;
    bool keep_alive_ = false;
    bool head_ = false;
    unsigned version_ = 11;
};

} // namespace

// Every program on the PC can reach 127.0.0.1, those of other users too; the page and its
// token are for this user's programs only.
bool LocalServer::Impl::from_other_user(const tcp::socket& socket) {
    beast::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    const auto local = socket.local_endpoint(ec);
    if (ec) return true;
    const auto owner =
        platform::peer_owner(peer.address().to_v4().to_uint(), peer.port(), local.port());
    if (owner != platform::PeerOwner::other_user) return false;
    ++refusals_unlogged;
    const auto now = std::chrono::steady_clock::now();
    if (log && now - last_refusal_logged >= std::chrono::minutes(1)) {
        log->write("[APP] conexión rechazada: viene de un programa de otro usuario" +
                   (refusals_unlogged > 1 ? " (" + std::to_string(refusals_unlogged) +
                                                " conexiones desde el último aviso)"
                                          : std::string()));
        last_refusal_logged = now;
        refusals_unlogged = 0;
    }
    return true;
}

void LocalServer::Impl::accept() {
    acceptor.async_accept(ioc, [this](beast::error_code ec, tcp::socket socket) {
        if (!ec) {
            // Another user's connection is closed here, before a byte is read: it never
            // holds one of the owner's slots, however many of them it opens.
            if (from_other_user(socket) || connections.load() >= kMaxConnections) {
                beast::error_code ignored;
                socket.close(ignored);
            } else {
                platform::prepare_connection(static_cast<std::intptr_t>(socket.native_handle()));
                std::make_shared<Connection>(std::move(socket), *this)->read();
            }
        }
        accept();
    });
}

LocalServer::LocalServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LocalServer::~LocalServer() = default;

std::unique_ptr<LocalServer> LocalServer::bind(const std::vector<std::uint16_t>& ports) {
    for (std::uint16_t port : ports) {
        auto impl = std::make_unique<Impl>();
        beast::error_code ec;
        const tcp::endpoint ep(net::ip::make_address_v4("127.0.0.1"), port);
        impl->acceptor.open(ep.protocol(), ec);
        if (ec) continue;
        platform::prepare_listener(static_cast<std::intptr_t>(impl->acceptor.native_handle()));
        impl->acceptor.bind(ep, ec);
        if (ec) continue;
        impl->acceptor.listen(net::socket_base::max_listen_connections, ec);
        if (ec) continue;
        return std::unique_ptr<LocalServer>(new LocalServer(std::move(impl)));
    }
    return nullptr;
}

std::uint16_t LocalServer::port() const {
    beast::error_code ec;
    return impl_->acceptor.local_endpoint(ec).port();
}

void LocalServer::start(std::shared_ptr<const RequestHandler> handler, const Log& log) {
    impl_->handler = std::move(handler);
    impl_->log = &log;
    impl_->request_thread.start();
    impl_->accept();
    impl_->accept_thread = std::thread([this] {
        for (;;) {
            try {
                impl_->ioc.run();
                return;
            } catch (const std::exception&) {
                // A handler threw; the server keeps serving the other connections.
            }
        }
    });
    impl_->accept_thread.detach();
}

} // namespace kelvora::http
