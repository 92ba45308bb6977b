#pragma once

#include "redis_client.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace boost::asio {
class io_context;
}

namespace kv {

// This node among others that share one Redis: a name of its own, a channel on which the
// other nodes reach it, and keys that say which node holds which ID or call room. A key
// names its node only while that node refreshes it, so a node that dies lets go of
// everything within `hold_ttl_s`.
class cluster {
public:
    static constexpr int hold_ttl_s = 30;

    explicit cluster(redis_address where);

    // Connects on `ioc`, the node's own event loop. `on_message` gets what other nodes
    // publish to this one, in the order each sent it; `on_state` hears when Redis is lost
    // and back. Until then every command fails at once.
    void start(boost::asio::io_context& ioc, std::function<void(std::string)> on_message,
               std::function<void(bool)> on_state);

    const std::string& node() const { return node_; }
    // One command on the shared connection; fails at once before start().
    void command(std::vector<std::string> args, std::function<void(redis_reply)> done);
    bool up() const { return cmd_ && sub_ && cmd_->up() && sub_->up(); }

    // Sends `msg` to node `to`; messages from one node to another arrive in order. `lost`
    // runs when it may not have arrived: Redis failed, or nobody listens for that node.
    void publish(const std::string& to, std::string msg, std::function<void()> lost = {});
    // Which of `nodes` no longer listen (dead, or cut off from Redis); nothing is said
    // when Redis did not answer.
    void gone(const std::vector<std::string>& nodes,
              std::function<void(std::vector<std::string> gone)> done);
    // The live node that holds `key`, empty when none (or its node is gone); `ok` false
    // when Redis did not answer.
    void owner(const std::string& key, std::function<void(bool ok, std::string node)> done);
    // Takes `key` for this node; answers the node that held it before (empty when none).
    void claim(const std::string& key, std::function<void(bool ok, std::string before)> done);
    // Takes `key` unless a live node holds it; answers the holder after the call.
    void claim_free(const std::string& key, std::function<void(bool ok, std::string holder)> done);
    // Lets go of `key` if this node still holds it.
    void release(const std::string& key);
    // Refreshes keys this node holds (taking those nobody holds); answers the keys that
    // another node took meanwhile.
    void refresh(const std::vector<std::string>& keys,
                 std::function<void(std::vector<std::string> lost)> done);

private:
    std::string node_;
    redis_address where_;
    std::unique_ptr<redis_connection> cmd_, sub_;
};

} // namespace kv
