#pragma once

#include "config.hpp"
#include "limits.hpp"
#include "store.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

struct sqlite3;

namespace kv {

// The embedded store of a single node: bindings and room hosts in <dir>/ids.sqlite3, the
// lockout and the opening limits in this process's memory. Only SHA-256 of a key is kept,
// so a leaked database lets nobody impersonate a PC. A binding lives while its PC keeps
// registering: one not seen for the expiry time is free again, and the operator can
// revoke one. Every answer is given before the call returns.
class sqlite_store final : public store {
public:
    // Opens (creating if needed) <dir>/ids.sqlite3; `id_expiry_days` 0 keeps bindings
    // forever. On failure `error` says why.
    static std::unique_ptr<sqlite_store> open(const config& cfg, std::string& error);
    ~sqlite_store() override;

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

    // Removes the binding of `id`; false with `error` when the database failed, and
    // `found` says whether there was one.
    bool revoke(std::string_view id, bool& found, std::string& error);

private:
    explicit sqlite_store(const config& cfg);
    long long cutoff() const;
    bind_result bind_locked(std::string_view id, std::string_view key_hash,
                            const std::string& source);
    std::mutex mutex_; // the database and the lockout
    sqlite3* db_ = nullptr;
    double expiry_s_ = 0;
    lockout lockout_;
    rate_limit open_source_, open_pair_, open_target_, binds_;
};

} // namespace kv
