#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// Everything that must hold across restarts and, with several nodes, across nodes: ID →
// key bindings, the lockout, the opening limits and the host of each call room. Two
// implementations: the embedded one (SQLite and in-process tables, one node) and Redis
// (any number of nodes).
//
// Answers come through callbacks, because Redis answers later on the node's event loop;
// the embedded store answers before returning. A callback may run on any I/O thread and
// must never be invoked while the caller holds its own locks, so callers ask outside them.
class store {
public:
    enum class bind_result { bound, matched, taken, limited, error };
    // A store that could not be read says so: a revocation check must not close a PC on
    // it, and a caller ID must not count as proven on it.
    enum class held { yes, no, unknown };

    virtual ~store() = default;

    // Binds `id` to `key_hash` when it is free (never bound, expired or revoked) and
    // `source` may still bind new IDs; afterwards only the same hash matches. A match
    // refreshes the binding's last-seen time. The first claim wins, on every node.
    virtual void bind(const std::string& id, const std::string& key_hash,
                      const std::string& source, std::function<void(bind_result)> done) = 0;
    // Whether `id` is bound, unexpired, to `key_hash`; never binds.
    virtual void holds(const std::string& id, const std::string& key_hash,
                       std::function<void(held)> done) = 0;
    // Refreshes the last-seen time of IDs whose PCs are online.
    virtual void touch(const std::vector<std::string>& ids) = 0;
    // Whether the store can be written right now (for /health and new registrations).
    virtual bool usable() = 0;

    // The opening limits of a join, ring or call join, charged in this order: the
    // source, the (source, target) pair, the target. Answers the name of the limit that
    // refused, `unavailable` when nothing could be counted, or an empty text.
    static constexpr const char* unavailable = "store unavailable";
    virtual void may_open(const std::string& source, const std::string& target,
                          std::function<void(std::string)> done) = 0;
    // Seconds left on a password lock of the ID or the source, if any.
    virtual void locked(const std::string& id, const std::string& source,
                        std::function<void(std::optional<double>)> done) = 0;
    // Counts one wrong password; answers the seconds of a lock this failure started.
    virtual void failure(const std::string& id, const std::string& source,
                         std::function<void(std::optional<double>)> done) = 0;

    // The hash of the rejoin token of a call room's host, kept across a restart for
    // `keep_s`; an empty hash forgets it.
    virtual void set_room_host(const std::string& code, const std::string& token_hash,
                               double keep_s) = 0;
    virtual void room_host(const std::string& code, std::function<void(std::string)> done) = 0;
};

} // namespace kv
