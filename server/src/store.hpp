#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace kv {

// The durable ID → key binding. Only SHA-256 of a key is kept, so a leaked database
// lets nobody impersonate a PC. A binding lives while its PC keeps registering: one not
// seen for the expiry time is free again, and the operator can revoke one.
class id_store {
public:
    enum class bind_result { bound, matched, taken, limited, error };

    // Opens (creating if needed) <dir>/ids.sqlite3; `expiry_days` 0 keeps bindings
    // forever. On failure `error` says why.
    static std::unique_ptr<id_store> open(const std::string& dir, double expiry_days,
                                          std::string& error);
    ~id_store();

    // Binds `id` to `key_hash` when it is free (never bound, expired or revoked) and
    // `may_bind_new` agrees; afterwards only the same hash matches. A match refreshes the
    // binding's last-seen time.
    bind_result bind(std::string_view id, std::string_view key_hash,
                     const std::function<bool()>& may_bind_new);
    // Whether `id` is bound, unexpired, to `key_hash`; never binds.
    bool holds(std::string_view id, std::string_view key_hash);
    // Refreshes the last-seen time of IDs whose PCs are online.
    void touch(const std::vector<std::string>& ids);
    // Removes the binding of `id`; false with `error` when the database failed, and
    // `found` says whether there was one.
    bool revoke(std::string_view id, bool& found, std::string& error);
    // Whether the database can still be read and written.
    bool usable();

private:
    id_store() = default;
    long long cutoff() const;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    double expiry_s_ = 0;
};

} // namespace kv
