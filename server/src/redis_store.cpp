#include "redis_store.hpp"

#include "log.hpp"

#include <cmath>
#include <cstdio>

namespace kv {
namespace {

// A token bucket in a hash {n, at}, refilled at ARGV rate per millisecond up to burst;
// the bucket expires once it would be full again anyway.
const char* bucket_lua = R"(
local function take(key, rate, burst)
  local t = redis.call('TIME')
  local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
  local b = redis.call('HMGET', key, 'n', 'at')
  local n, at = tonumber(b[1]), tonumber(b[2])
  if not n or not at then n = burst else n = math.min(burst, n + math.max(0, now - at) * rate) end
  local ok = 0
  if n >= 1 then n = n - 1; ok = 1 end
  redis.call('HSET', key, 'n', tostring(n), 'at', tostring(now))
  redis.call('PEXPIRE', key, math.ceil(burst / rate) + 1000)
  return ok
end
)";

// KEYS: binding, the source's bucket of new bindings. ARGV: key hash, expiry in ms (0:
// never), bucket rate and burst. 0 bound, 1 matched, 2 taken, 3 limited.
const std::string bind_lua = std::string(bucket_lua) + R"(
local cur = redis.call('GET', KEYS[1])
local px = tonumber(ARGV[2])
if cur == ARGV[1] then
  if px > 0 then redis.call('PEXPIRE', KEYS[1], px) end
  return 1
end
if cur then return 2 end
if take(KEYS[2], tonumber(ARGV[3]), tonumber(ARGV[4])) == 0 then return 3 end
if px > 0 then redis.call('SET', KEYS[1], ARGV[1], 'PX', px) else redis.call('SET', KEYS[1], ARGV[1]) end
return 0
)";

// KEYS: the source's, the pair's and the target's buckets; ARGV: rate and burst of each.
// 0 allowed, else which one refused; the ones before it are charged, as on one node.
const std::string open_lua = std::string(bucket_lua) + R"(
for i = 1, 3 do
  if take(KEYS[i], tonumber(ARGV[2 * i - 1]), tonumber(ARGV[2 * i])) == 0 then return i end
end
return 0
)";

// KEYS: lock of the ID, lock of the source. Milliseconds left on the longer, or 0.
const char* locked_lua = R"(
local a, b = redis.call('PTTL', KEYS[1]), redis.call('PTTL', KEYS[2])
return math.max(a, b, 0)
)";

// KEYS: failures of the ID, of the source, lock of the ID, of the source. ARGV: limit per
// ID, per source, window ms, lock ms. 1 when this failure started a lock.
const char* failure_lua = R"(
local function bump(count, lock, limit)
  if redis.call('EXISTS', lock) == 1 then return 0 end
  local n = redis.call('INCR', count)
  if n == 1 then redis.call('PEXPIRE', count, ARGV[3]) end
  if n < limit then return 0 end
  redis.call('DEL', count)
  redis.call('SET', lock, '1', 'PX', ARGV[4])
  return 1
end
local a = bump(KEYS[1], KEYS[3], tonumber(ARGV[1]))
local b = bump(KEYS[2], KEYS[4], tonumber(ARGV[2]))
return math.max(a, b)
)";

std::string num(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

std::string ms(double seconds) {
    return std::to_string(static_cast<long long>(std::llround(seconds * 1000)));
}

} // namespace

redis_store::redis_store(const config& cfg, cluster& c) : cfg_(cfg), conn_(c) {}

void redis_store::bind(const std::string& id, const std::string& key_hash,
                       const std::string& source, std::function<void(bind_result)> done) {
    conn_.command({"EVAL", bind_lua, "2", "kv:id:" + id, "kv:nb:" + source, key_hash,
                   ms(cfg_.id_expiry_days * 86400), num(cfg_.binds_per_hour / 3600000.0),
                   num(cfg_.binds_per_hour)},
                  [done = std::move(done)](redis_reply r) {
                      if (r.kind != redis_reply::type::integer) {
                          if (r.failed()) fail("redis.bind", r.text);
                          return done(bind_result::error);
                      }
                      switch (r.integer) {
                      case 0: return done(bind_result::bound);
                      case 1: return done(bind_result::matched);
                      case 2: return done(bind_result::taken);
                      case 3: return done(bind_result::limited);
                      default: return done(bind_result::error);
                      }
                  });
}

void redis_store::holds(const std::string& id, const std::string& key_hash,
                        std::function<void(held)> done) {
    conn_.command({"GET", "kv:id:" + id}, [key_hash, done = std::move(done)](redis_reply r) {
        if (r.kind == redis_reply::type::text) return done(r.text == key_hash ? held::yes : held::no);
        done(r.kind == redis_reply::type::nil ? held::no : held::unknown);
    });
}

void redis_store::touch(const std::vector<std::string>& ids) {
    if (cfg_.id_expiry_days <= 0) return;
    for (const auto& id : ids)
        conn_.command({"PEXPIRE", "kv:id:" + id, ms(cfg_.id_expiry_days * 86400)}, [](redis_reply) {});
}

bool redis_store::usable() {
    return conn_.up();
}

void redis_store::may_open(const std::string& source, const std::string& target,
                           std::function<void(std::string)> done) {
    conn_.command({"EVAL", open_lua, "3", "kv:os:" + source, "kv:op:" + source + "|" + target,
                   "kv:ot:" + target, num(cfg_.open_per_source / 60000), num(cfg_.open_burst_source),
                   num(cfg_.open_per_pair / 60000), num(cfg_.open_burst_pair),
                   num(cfg_.open_per_target / 60000), num(cfg_.open_burst_target)},
                  [done = std::move(done)](redis_reply r) {
                      // Without Redis nothing can be counted: refuse rather than let a
                      // flood through while it is away.
                      if (r.kind != redis_reply::type::integer) return done(unavailable);
                      static const char* names[] = {"", "open rate", "pair rate", "target rate"};
                      done(r.integer >= 0 && r.integer <= 3 ? names[r.integer] : unavailable);
                  });
}

void redis_store::locked(const std::string& id, const std::string& source,
                         std::function<void(std::optional<double>)> done) {
    conn_.command({"EVAL", locked_lua, "2", "kv:lk:i:" + id, "kv:lk:s:" + source},
                  [done = std::move(done)](redis_reply r) {
                      if (r.kind != redis_reply::type::integer || r.integer <= 0)
                          return done(std::nullopt);
                      done(static_cast<double>(r.integer) / 1000);
                  });
}

void redis_store::failure(const std::string& id, const std::string& source,
                          std::function<void(std::optional<double>)> done) {
    conn_.command({"EVAL", failure_lua, "4", "kv:lf:i:" + id, "kv:lf:s:" + source, "kv:lk:i:" + id,
                   "kv:lk:s:" + source, std::to_string(cfg_.lock_per_id),
                   std::to_string(cfg_.lock_per_addr), ms(cfg_.lock_window_s),
                   ms(cfg_.lock_duration_s)},
                  [this, done = std::move(done)](redis_reply r) {
                      if (r.kind == redis_reply::type::integer && r.integer == 1)
                          return done(cfg_.lock_duration_s);
                      if (r.failed()) fail("redis.failure", r.text);
                      done(std::nullopt);
                  });
}

void redis_store::set_room_host(const std::string& code, const std::string& token_hash,
                                double keep_s) {
    if (token_hash.empty())
        conn_.command({"DEL", "kv:rh:" + code}, [](redis_reply) {});
    else
        conn_.command({"SET", "kv:rh:" + code, token_hash, "PX", ms(keep_s)}, [](redis_reply) {});
}

void redis_store::room_host(const std::string& code, std::function<void(std::string)> done) {
    conn_.command({"GET", "kv:rh:" + code}, [done = std::move(done)](redis_reply r) {
        done(r.kind == redis_reply::type::text && r.text.size() == 64 ? r.text : std::string());
    });
}

} // namespace kv
