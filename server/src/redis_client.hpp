#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace boost::asio {
class io_context;
}

namespace kv {

// One Redis reply, copied out of the protocol reader.
struct redis_reply {
    enum class type { nil, integer, text, status, error, array };
    type kind = type::nil;
    long long integer = 0;
    std::string text; // bulk or status text, or the error
    std::vector<redis_reply> items;
    bool failed() const { return kind == type::error; }
};

// Where Redis is: redis://[:password@]host:port[/db].
struct redis_address {
    std::string host = "127.0.0.1";
    std::uint16_t port = 6379;
    std::string password;
    int db = 0;
};
bool parse_redis_url(const std::string& url, redis_address& out, std::string& error);

// One connection to Redis on the node's own io_context: writes are pipelined, answers come
// back in order to the callbacks, nothing ever blocks an I/O thread. A lost connection
// fails every command in flight and is made again in the background; meanwhile commands
// fail at once. Redis is treated like any peer: replies are bounded in size, and an
// answer that does not come within a few seconds counts as a lost connection.
class redis_connection {
public:
    redis_connection(boost::asio::io_context& ioc, redis_address where, std::string role);

    void start();

    // Sends one command; `done` runs later on an I/O thread, never inside this call.
    void command(std::vector<std::string> args, std::function<void(redis_reply)> done);
    // Subscriber mode: `channel` is subscribed again after every reconnection, and its
    // messages go to `on_message`. Call before start().
    void subscribe(std::string channel, std::function<void(std::string)> on_message);
    // Runs after every (re)connection once the connection is usable, and on every loss.
    void on_state(std::function<void(bool up)> f);
    bool up() const;

private:
    struct impl;
    std::shared_ptr<impl> impl_;
};

} // namespace kv
