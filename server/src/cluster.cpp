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

// KEYS: the key; ARGV: this node, and for a take-over the ttl. Another node holds a key
// only while it listens on its channel: a node that died lets go at once, not when the
// key expires.
const char* live_holder_lua = R"(
local n = redis.call('GET', KEYS[1])
if n and n ~= ARGV[1] and redis.call('PUBSUB', 'NUMSUB', 'kv:node:' .. n)[2] == 0 then n = false end
if ARGV[2] and not n then
  redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
  return ARGV[1]
end
return n
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

void cluster::publish(const std::string& to, std::string msg, std::function<void()> lost) {
    if (!valid_node(to)) {
        if (lost) lost();
        return;
    }
    command({"PUBLISH", channel_of(to), std::move(msg)}, [lost = std::move(lost)](redis_reply r) {
        // PUBLISH answers how many listened: none means the message went nowhere.
        if (lost && (r.kind != redis_reply::type::integer || r.integer < 1)) lost();
    });
}

void cluster::gone(const std::vector<std::string>& nodes,
                   std::function<void(std::vector<std::string>)> done) {
    std::vector<std::string> args{"PUBSUB", "NUMSUB"};
    for (auto& n : nodes)
        if (valid_node(n)) args.push_back(channel_of(n));
    if (args.size() == 2) return;
    command(std::move(args), [done = std::move(done)](redis_reply r) {
        if (r.kind != redis_reply::type::array) return;
        std::vector<std::string> out;
        for (std::size_t i = 0; i + 1 < r.items.size(); i += 2) {
            const auto& ch = r.items[i].text;
            if (r.items[i + 1].kind == redis_reply::type::integer && r.items[i + 1].integer == 0 &&
                ch.rfind("kv:node:", 0) == 0)
                out.push_back(ch.substr(8));
        }
        done(std::move(out));
    });
}

void cluster::owner(const std::string& key, std::function<void(bool, std::string)> done) {
    command({"EVAL", live_holder_lua, "1", key, node_}, [done = std::move(done)](redis_reply r) {
        if (r.failed()) return done(false, {});
        done(true,
             r.kind == redis_reply::type::text && valid_node(r.text) ? r.text : std::string());
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
    command({"EVAL", live_holder_lua, "1", key, node_, std::to_string(hold_ttl_s)},
            [done = std::move(done)](redis_reply r) {
                if (r.kind != redis_reply::type::text || !valid_node(r.text))
                    return done(false, {});
                done(true, r.text);
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
