#pragma once

#include "config.hpp"
#include "cluster.hpp"
#include "store.hpp"

#include <memory>

namespace kv {

// The store of a cluster: every node reads and writes the same Redis, and each rule is one
// Lua script, so that the first claim of an ID wins and a limit holds on all nodes at once.
// While Redis is unreachable every question fails at once: registrations are refused
// rather than letting two nodes bind one ID.
class redis_store final : public store {
public:
    redis_store(const config& cfg, cluster& c);

    void bind(const std::string& id, const std::string& key_hash, const std::string& source,
              std::function<void(bind_result)> done) override;
    void holds(const std::string& id, const std::string& key_hash,
               std::function<void(held)> done) override;
    void touch(const std::vector<std::string>& ids) override;
    bool usable() override;

    void may_open(const std::string& source, const std::string& target,
                  std::function<void(std::string)> done) override;
    void locked(const std::string& id, const std::string& source,
                std::function<void(std::optional<double>)> done) override;
    void failure(const std::string& id, const std::string& source,
                 std::function<void(std::optional<double>)> done) override;

    void set_room_host(const std::string& code, const std::string& token_hash,
                       double keep_s) override;
    void room_host(const std::string& code, std::function<void(std::string)> done) override;

private:
    const config& cfg_;
    cluster& conn_;
};

} // namespace kv
