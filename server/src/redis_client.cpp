#include "redis_client.hpp"

#include "log.hpp"

#include <hiredis/hiredis.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <deque>
#include <map>

namespace kv {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

namespace {

// Redis is one of ours, but a confused or hostile one must not take the node down: a
// reply larger than this, or more commands waiting than this, fail the connection or the
// command instead of growing without bound.
constexpr std::size_t max_reply_bytes = 16 * 1024 * 1024;
constexpr std::size_t max_in_flight = 200000;
constexpr std::size_t max_unsent_bytes = 64 * 1024 * 1024;
// An answer later than this means the connection is as good as lost.
constexpr auto answer_timeout = 3s;
constexpr auto connect_timeout = 2s;

struct reader_deleter {
    void operator()(redisReader* r) const { redisReaderFree(r); }
};
struct reply_deleter {
    void operator()(void* r) const { freeReplyObject(r); }
};

redis_reply copy(const redisReply* r) {
    redis_reply out;
    switch (r->type) {
    case REDIS_REPLY_INTEGER:
        out.kind = redis_reply::type::integer;
        out.integer = r->integer;
        break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR:
        out.kind = r->type == REDIS_REPLY_STRING   ? redis_reply::type::text
                   : r->type == REDIS_REPLY_STATUS ? redis_reply::type::status
                                                   : redis_reply::type::error;
        out.text.assign(r->str, r->len);
        break;
    case REDIS_REPLY_ARRAY:
        out.kind = redis_reply::type::array;
        out.items.reserve(r->elements);
        // hiredis nests at most a few levels deep, so this recursion is bounded.
        for (std::size_t i = 0; i < r->elements; ++i)
            out.items.push_back(copy(r->element[i]));
        break;
    default:
        break;
    }
    return out;
}

redis_reply error_reply(std::string why) {
    redis_reply r;
    r.kind = redis_reply::type::error;
    r.text = std::move(why);
    return r;
}

} // namespace

bool parse_redis_url(const std::string& url, redis_address& out, std::string& error) {
    std::string rest = url;
    if (rest.rfind("redis://", 0) != 0) {
        error = "expects redis://HOST:PORT";
        return false;
    }
    rest.erase(0, 8);
    redis_address a;
    if (auto at = rest.rfind('@'); at != std::string::npos) {
        std::string user = rest.substr(0, at);
        rest.erase(0, at + 1);
        auto colon = user.find(':');
        a.password = colon == std::string::npos ? user : user.substr(colon + 1);
    }
    if (auto slash = rest.find('/'); slash != std::string::npos) {
        std::string db = rest.substr(slash + 1);
        rest.erase(slash);
        if (!db.empty()) {
            auto [p, ec] = std::from_chars(db.data(), db.data() + db.size(), a.db);
            if (ec != std::errc{} || p != db.data() + db.size() || a.db < 0 || a.db > 1000) {
                error = "bad database number";
                return false;
            }
        }
    }
    auto colon = rest.rfind(':');
    if (colon != std::string::npos && rest.find(']') != std::string::npos &&
        colon < rest.find(']'))
        colon = std::string::npos;
    std::string host = colon == std::string::npos ? rest : rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty()) {
        error = "no host";
        return false;
    }
    a.host = host;
    if (colon != std::string::npos) {
        std::string port = rest.substr(colon + 1);
        unsigned p = 0;
        auto [e, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
        if (ec != std::errc{} || e != port.data() + port.size() || p == 0 || p > 65535) {
            error = "bad port";
            return false;
        }
        a.port = static_cast<std::uint16_t>(p);
    }
    out = a;
    return true;
}

struct redis_connection::impl : std::enable_shared_from_this<impl> {
    impl(net::io_context& ioc, redis_address where, std::string role)
        : where(std::move(where)), role(std::move(role)), strand(net::make_strand(ioc)),
          socket(strand), resolver(strand), ticker(strand), retry(strand) {}

    struct waiting {
        std::function<void(redis_reply)> done;
        std::chrono::steady_clock::time_point sent;
    };

    redis_address where;
    std::string role;
    net::strand<net::io_context::executor_type> strand;
    tcp::socket socket;
    tcp::resolver resolver;
    net::steady_timer ticker, retry;
    std::unique_ptr<redisReader, reader_deleter> reader;
    std::deque<waiting> in_flight;
    std::string unsent, writing;
    std::array<char, 16384> rbuf{};
    std::map<std::string, std::function<void(std::string)>> channels;
    std::vector<std::function<void(bool)>> watchers;
    std::atomic<bool> is_up{false};
    bool connected = false, stopped = false, reported_down = false, retry_pending = false;
    std::chrono::steady_clock::time_point connect_started{};
    std::chrono::milliseconds backoff{100};

    void connect() {
        if (stopped) return;
        connect_started = std::chrono::steady_clock::now();
        resolver.async_resolve(
            where.host, std::to_string(where.port),
            [self = shared_from_this()](boost::system::error_code ec, tcp::resolver::results_type r) {
                if (ec) return self->lost("resolve: " + ec.message());
                net::async_connect(self->socket, r,
                                   [self](boost::system::error_code ec2, const tcp::endpoint&) {
                                       if (ec2) return self->lost("connect: " + ec2.message());
                                       self->on_connected();
                                   });
            });
    }

    void on_connected() {
        boost::system::error_code ec;
        socket.set_option(tcp::no_delay(true), ec);
        reader.reset(redisReaderCreate());
        connected = true;
        backoff = 100ms;
        // The first commands of every connection; their answers are checked like any.
        auto must = [self = shared_from_this()](redis_reply r) {
            if (r.failed()) self->lost("setup: " + r.text);
        };
        if (!where.password.empty()) send({"AUTH", where.password}, must);
        if (where.db != 0) send({"SELECT", std::to_string(where.db)}, must);
        for (auto& [ch, f] : channels)
            send({"SUBSCRIBE", ch}, must);
        // PING proves the setup went through before anyone is told the connection is up.
        send({"PING"}, [self = shared_from_this()](redis_reply r) {
            if (r.failed()) return self->lost("ping: " + r.text);
            self->is_up = true;
            if (self->reported_down) log_event("redis-up", {{"role", self->role}});
            self->reported_down = false;
            for (auto& w : self->watchers)
                w(true);
        });
        do_read();
    }

    void send(const std::vector<std::string>& args, std::function<void(redis_reply)> done) {
        std::vector<const char*> argv;
        std::vector<std::size_t> lens;
        for (auto& a : args) {
            argv.push_back(a.data());
            lens.push_back(a.size());
        }
        char* cmd = nullptr;
        int n = redisFormatCommandArgv(&cmd, static_cast<int>(argv.size()), argv.data(), lens.data());
        if (n < 0 || !cmd) return net::post(strand, [done] { done(error_reply("no memory")); });
        unsent.append(cmd, static_cast<std::size_t>(n));
        redisFreeCommand(cmd);
        in_flight.push_back({std::move(done), std::chrono::steady_clock::now()});
        if (writing.empty()) do_write();
    }

    void do_write() {
        if (unsent.empty() || !connected) return;
        writing.swap(unsent);
        net::async_write(socket, net::buffer(writing),
                         [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                             self->writing.clear();
                             if (ec) return self->lost("write: " + ec.message());
                             self->do_write();
                         });
    }

    void do_read() {
        socket.async_read_some(
            net::buffer(rbuf), [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
                if (ec) return self->lost("read: " + ec.message());
                if (redisReaderFeed(self->reader.get(), self->rbuf.data(), n) != REDIS_OK)
                    return self->lost("reader");
                for (;;) {
                    void* raw = nullptr;
                    if (redisReaderGetReply(self->reader.get(), &raw) != REDIS_OK)
                        return self->lost(std::string("protocol: ") + self->reader->errstr);
                    if (!raw) break;
                    std::unique_ptr<void, reply_deleter> owned(raw);
                    if (!self->deliver(copy(static_cast<redisReply*>(raw)))) return;
                }
                if (self->reader->len - self->reader->pos > max_reply_bytes)
                    return self->lost("reply too large");
                self->do_read();
            });
    }

    // False when the connection was given up meanwhile.
    bool deliver(redis_reply r) {
        if (r.kind == redis_reply::type::array && r.items.size() == 3 &&
            r.items[0].text == "message") {
            auto it = channels.find(r.items[1].text);
            if (it != channels.end()) it->second(std::move(r.items[2].text));
            return connected;
        }
        if (in_flight.empty()) {
            lost("an answer nobody asked for");
            return false;
        }
        auto w = std::move(in_flight.front());
        in_flight.pop_front();
        w.done(std::move(r));
        return connected;
    }

    void lost(const std::string& why) {
        // The other half of a broken connection reports too; one retry is enough.
        if (retry_pending) return;
        bool was_up = is_up.exchange(false);
        connected = false;
        boost::system::error_code ec;
        socket.close(ec);
        unsent.clear();
        auto failed = std::move(in_flight);
        in_flight.clear();
        if (!reported_down) fail("redis", role + ": " + why);
        reported_down = true;
        for (auto& w : failed)
            w.done(error_reply("connection lost"));
        if (was_up)
            for (auto& w : watchers)
                w(false);
        if (stopped) return;
        retry_pending = true;
        retry.expires_after(backoff);
        backoff = std::min<std::chrono::milliseconds>(backoff * 2, 2000ms);
        retry.async_wait([self = shared_from_this()](boost::system::error_code e) {
            self->retry_pending = false;
            if (!e) self->connect();
        });
    }

    void tick() {
        ticker.expires_after(250ms);
        ticker.async_wait([self = shared_from_this()](boost::system::error_code e) {
            if (e || self->stopped) return;
            auto now = std::chrono::steady_clock::now();
            if (self->connected && !self->in_flight.empty() &&
                now - self->in_flight.front().sent > answer_timeout)
                self->lost("no answer");
            else if (!self->connected && self->socket.is_open() &&
                     now - self->connect_started > connect_timeout) {
                boost::system::error_code ec;
                self->socket.close(ec); // the pending connect fails and retries
            }
            self->tick();
        });
    }
};

redis_connection::redis_connection(net::io_context& ioc, redis_address where, std::string role)
    : impl_(std::make_shared<impl>(ioc, std::move(where), std::move(role))) {}

void redis_connection::start() {
    net::post(impl_->strand, [i = impl_] {
        i->connect();
        i->tick();
    });
}

void redis_connection::command(std::vector<std::string> args,
                               std::function<void(redis_reply)> done) {
    net::post(impl_->strand, [i = impl_, a = std::move(args), d = std::move(done)]() mutable {
        if (!i->is_up || i->in_flight.size() >= max_in_flight ||
            i->unsent.size() > max_unsent_bytes)
            return d(error_reply(i->is_up ? "too many commands" : "not connected"));
        i->send(a, std::move(d));
    });
}

void redis_connection::subscribe(std::string channel, std::function<void(std::string)> on_message) {
    impl_->channels[std::move(channel)] = std::move(on_message);
}

void redis_connection::on_state(std::function<void(bool)> f) {
    impl_->watchers.push_back(std::move(f));
}

bool redis_connection::up() const {
    return impl_->is_up;
}

} // namespace kv
