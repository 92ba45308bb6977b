#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

struct sqlite3;

namespace kv {

// The durable ID → key binding. Only SHA-256 of a key is kept, so a leaked database
// lets nobody impersonate a PC, and the row is never deleted: a restart frees no ID.
class id_store {
public:
    enum class bind_result { bound, matched, taken, error };

    // Opens (creating if needed) <dir>/ids.sqlite3; on failure `error` says why.
    static std::unique_ptr<id_store> open(const std::string& dir, std::string& error);
    ~id_store();

    // Binds `id` to `key_hash` the first time; afterwards only the same hash matches.
    bind_result bind(std::string_view id, std::string_view key_hash);

private:
    id_store() = default;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

} // namespace kv
