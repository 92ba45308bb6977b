#include "cluster.hpp"

#include "crypto.hpp"

namespace kv {
namespace {

std::string channel_of(const std::string& node) {
    return "kv:node:" + node;
}

// KEYS: the key; ARGV: this node, ttl. Answers the previous holder.
const char* claim_lua = R"(
local before = redis.call('GET', KEYS[1])
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
return before
)";

const char* release_lua = R"(
if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('DEL', KEYS[1]) end
return 0
)";

// KEYS: keys this node believes it holds. Answers those held by another node now.
const char* refresh_lua = R"(
local lost = {}
for _, k in ipairs(KEYS) do
  local cur = redis.call('GET', k)
  if cur == false or cur == ARGV[1] then
    redis.call('SET', k, ARGV[1], 'EX', ARGV[2])
  else
    table.insert(lost, k)
  end
end
return lost
)";

// Node names travel in keys and channels: only what random_hex makes is taken back.
bool valid_node(const std::string& n) {
    if (n.size() != 16) return false;
    for (char c : n)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

constexpr std::size_t keys_per_script = 500;

} // namespace

cluster::cluster(redis_address where) : node_(random_hex(8)), where_(std::move(where)) {}

void cluster::start(boost::asio::io_context& ioc, std::function<void(std::string)> on_message,
                    std::function<void(bool)> on_state) {
    cmd_ = std::make_unique<redis_connection>(ioc, where_, "commands");
    sub_ = std::make_unique<redis_connection>(ioc, where_, "messages");
    sub_->subscribe(channel_of(node_), std::move(on_message));
    auto both = std::make_shared<std::function<void(bool)>>(std::move(on_state));
    cmd_->on_state([this, both](bool) { (*both)(up()); });
    sub_->on_state([this, both](bool) { (*both)(up()); });
    cmd_->start();
    sub_->start();
}

void cluster::command(std::vector<std::string> args, std::function<void(redis_reply)> done) {
    if (!cmd_) {
        redis_reply r;
        r.kind = redis_reply::type::error;
        r.text = "not connected";
        return done(std::move(r));
    }
    cmd_->command(std::move(args), std::move(done));
}

void cluster::publish(const std::string& to, std::string msg) {
    if (!valid_node(to)) return;
    command({"PUBLISH", channel_of(to), std::move(msg)}, [](redis_reply) {});
}

void cluster::owner(const std::string& key, std::function<void(bool, std::string)> done) {
    command({"GET", key}, [done = std::move(done)](redis_reply r) {
        if (r.failed()) return done(false, {});
        done(true, r.kind == redis_reply::type::text && valid_node(r.text) ? r.text : std::string());
    });
}

void cluster::claim(const std::string& key, std::function<void(bool, std::string)> done) {
    command({"EVAL", claim_lua, "1", key, node_, std::to_string(hold_ttl_s)},
                 [done = std::move(done)](redis_reply r) {
                     if (r.failed()) return done(false, {});
                     done(true, r.kind == redis_reply::type::text && valid_node(r.text) ? r.text
                                                                                      : std::string());
                 });
}

void cluster::claim_free(const std::string& key, std::function<void(bool, std::string)> done) {
    command({"SET", key, node_, "NX", "EX", std::to_string(hold_ttl_s)},
                 [this, key, done = std::move(done)](redis_reply r) mutable {
                     if (r.failed()) return done(false, {});
                     if (r.kind == redis_reply::type::status) return done(true, node_);
                     owner(key, std::move(done));
                 });
}

void cluster::release(const std::string& key) {
    command({"EVAL", release_lua, "1", key, node_}, [](redis_reply) {});
}

void cluster::refresh(const std::vector<std::string>& keys,
                      std::function<void(std::vector<std::string>)> done) {
    for (std::size_t at = 0; at < keys.size(); at += keys_per_script) {
        std::size_t n = std::min(keys_per_script, keys.size() - at);
        std::vector<std::string> args{"EVAL", refresh_lua, std::to_string(n)};
        args.insert(args.end(), keys.begin() + static_cast<long>(at),
                    keys.begin() + static_cast<long>(at + n));
        args.push_back(node_);
        args.push_back(std::to_string(hold_ttl_s));
        command(std::move(args), [done](redis_reply r) {
            std::vector<std::string> lost;
            if (r.kind == redis_reply::type::array)
                for (auto& k : r.items)
                    if (k.kind == redis_reply::type::text) lost.push_back(std::move(k.text));
            done(std::move(lost));
        });
    }
}

} // namespace kv
