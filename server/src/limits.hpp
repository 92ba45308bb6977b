#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace kv {

using steady = std::chrono::steady_clock;

// Wrong-password lockout, counted per target ID and per source address. Entries expire
// by themselves and the table is capped, so a flood of addresses cannot grow it forever.
class lockout {
public:
    lockout(int per_id, int per_addr, double window_s, double duration_s);

    // Seconds left on a lock of either the ID or the address, if any.
    std::optional<double> locked(const std::string& id, const std::string& addr,
                                 steady::time_point now);

    // Counts one wrong password; returns the seconds of a lock that this failure
    // started, if it started one.
    std::optional<double> failure(const std::string& id, const std::string& addr,
                                  steady::time_point now);

private:
    struct entry {
        int count = 0;
        steady::time_point first{};
        steady::time_point until{};
    };
    using table = std::unordered_map<std::string, entry>;
    std::optional<double> left(table& t, const std::string& k, steady::time_point now);
    bool bump(table& t, const std::string& k, int limit, steady::time_point now);
    void prune(table& t, steady::time_point now);

    int per_id_, per_addr_;
    steady::duration window_, duration_;
    table ids_, addrs_;
};

// Caps connections in total and per source address. A ticket holds one place and gives
// it back when destroyed, whatever path the connection ends on.
class conn_limit {
public:
    class ticket {
    public:
        ticket() = default;
        ticket(ticket&& o) noexcept : owner_(o.owner_), addr_(std::move(o.addr_)) {
            o.owner_ = nullptr;
        }
        ticket& operator=(ticket&& o) noexcept;
        ~ticket();
        explicit operator bool() const { return owner_ != nullptr; }

    private:
        friend class conn_limit;
        conn_limit* owner_ = nullptr;
        std::string addr_;
    };

    conn_limit(int total, int per_addr) : total_max_(total), per_addr_max_(per_addr) {}

    // An address-less ticket counts toward the total only.
    ticket acquire_total();
    // Moves `t` (a total ticket) onto `addr`; false when the address is over its cap.
    bool assign(ticket& t, const std::string& addr);

private:
    void release(const std::string& addr);
    std::mutex mutex_;
    int total_ = 0;
    int total_max_, per_addr_max_;
    std::unordered_map<std::string, int> per_addr_;
};

} // namespace kv
