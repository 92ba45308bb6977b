#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kv {

using steady = std::chrono::steady_clock;

steady::duration seconds_of(double s);

// The key under which a client address is counted: IPv4 as is, IPv6 by its /64, since one
// subscriber usually holds a whole /64 and could otherwise take a fresh address per try.
std::string source_key(const std::string& addr);

// A map that holds at most `cap` keys; making room evicts the least recently touched key,
// so a flood of new keys pushes out old entries instead of making the table go blind.
template <class V> class bounded_table {
public:
    explicit bounded_table(std::size_t cap) : cap_(cap) {}

    V* find(const std::string& k) {
        auto it = index_.find(k);
        if (it == index_.end()) return nullptr;
        order_.splice(order_.begin(), order_, it->second);
        return &it->second->second;
    }
    V& get(const std::string& k) {
        if (V* v = find(k)) return *v;
        if (index_.size() >= cap_) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
        order_.emplace_front(k, V{});
        index_[k] = order_.begin();
        return order_.front().second;
    }
    void erase(const std::string& k) {
        auto it = index_.find(k);
        if (it == index_.end()) return;
        order_.erase(it->second);
        index_.erase(it);
    }
    std::size_t size() const { return index_.size(); }

private:
    std::size_t cap_;
    std::list<std::pair<std::string, V>> order_;
    std::unordered_map<std::string, typename std::list<std::pair<std::string, V>>::iterator> index_;
};

// Token buckets by key: `burst` at once, refilled at `per_second`. Thread-safe.
class rate_limit {
public:
    rate_limit(double per_second, double burst, std::size_t cap = 100000)
        : rate_(per_second), burst_(burst), table_(cap) {}

    // Takes one token from `key`'s bucket; false when it is empty.
    bool take(const std::string& key, steady::time_point now);

private:
    struct bucket {
        double tokens = -1; // a new bucket starts full
        steady::time_point at{};
    };
    std::mutex mutex_;
    double rate_, burst_;
    bounded_table<bucket> table_;
};

// Wrong-password lockout, counted per target ID and per source. Only attempts that carry a
// password are held back by it: a join without one asks the person at the PC, who can
// always say no, so a guesser cannot use the lock to cut a PC off from its support.
class lockout {
public:
    lockout(int per_id, int per_source, double window_s, double duration_s);

    // Seconds left on a lock of either the ID or the source, if any.
    std::optional<double> locked(const std::string& id, const std::string& source,
                                 steady::time_point now);

    // Counts one wrong password; returns the seconds of a lock that this failure
    // started, if it started one.
    std::optional<double> failure(const std::string& id, const std::string& source,
                                  steady::time_point now);

private:
    struct entry {
        int count = 0;
        steady::time_point first{};
        steady::time_point until{};
    };
    std::optional<double> left(bounded_table<entry>& t, const std::string& k,
                               steady::time_point now);
    bool bump(bounded_table<entry>& t, const std::string& k, int limit, steady::time_point now);

    int per_id_, per_source_;
    steady::duration window_, duration_;
    bounded_table<entry> ids_, sources_;
};

// Caps connections in total and per source. A ticket holds one place and gives it back
// when destroyed, whatever path the connection ends on.
class conn_limit {
public:
    class ticket {
    public:
        ticket() = default;
        ticket(ticket&& o) noexcept
            : owner_(std::exchange(o.owner_, nullptr)), source_(std::move(o.source_)),
              overflow_(o.overflow_) {}
        ticket& operator=(ticket&& o) noexcept;
        ~ticket();
        explicit operator bool() const { return owner_ != nullptr; }
        // A refusal ticket: the connection may only be told 429 and closed.
        bool overflow() const { return overflow_; }

    private:
        friend class conn_limit;
        conn_limit* owner_ = nullptr;
        std::string source_;
        bool overflow_ = false;
    };

    conn_limit(int total, int per_source) : total_max_(total), per_source_max_(per_source) {}

    // A place for a connection from `source` (empty: counted toward the total only, for
    // connections whose real source is known only from a proxy's header). Over a cap, a
    // refusal ticket from a small separate allowance lets the client be told 429; past
    // that, an empty ticket.
    ticket acquire(const std::string& source);
    // Moves an address-less ticket onto `source`; false when that source is over its cap.
    bool assign(ticket& t, const std::string& source);

    int open() const;

private:
    void release(const ticket& t);
    mutable std::mutex mutex_;
    int total_ = 0, overflow_ = 0;
    int total_max_, per_source_max_;
    std::unordered_map<std::string, int> per_source_;
};

// Bytes queued to clients that read slower than they are sent to, counted per source and
// for the whole process. When a source passes its share, or all sources together pass the
// budget, the largest queues (of that source, or of all) are cut until the new bytes fit:
// a client that stops reading pays for it, never the socket that happens to be sent to
// next. Thread-safe.
class queue_budget {
public:
    // Which bound a socket was cut for.
    enum class over { source, total };
    // Told that its socket must go; called on whichever thread made the room, outside the
    // budget's lock, so it only posts the close.
    using cut_fn = std::function<void(over)>;

private:
    struct entry;

public:
    // One socket's share. Only that socket's own thread (its strand) calls add and remove.
    class account {
    public:
        account() = default;
        account(account&& o) noexcept
            : owner_(std::exchange(o.owner_, nullptr)), e_(std::exchange(o.e_, nullptr)) {}
        account& operator=(account&& o) noexcept;
        ~account();

        // Counts `n` more bytes. False when this socket is the one cut to make room, or was
        // cut already; then `why` says for which bound and nothing was counted.
        bool add(std::size_t n, over& why);
        // Gives back `n` bytes (written or dropped); nothing once the socket was cut.
        void remove(std::size_t n);

    private:
        friend class queue_budget;
        queue_budget* owner_ = nullptr;
        entry* e_ = nullptr;
    };

    queue_budget(std::size_t per_source, std::size_t total)
        : per_source_max_(per_source), total_max_(total) {}

    account open(const std::string& source, cut_fn cut);
    std::size_t total() const;

private:
    struct source {
        std::size_t bytes = 0;
        std::vector<entry*> members;
    };
    struct entry {
        std::string key;
        source* src = nullptr;
        std::size_t bytes = 0;
        bool cut = false;
        cut_fn on_cut;
        std::size_t all_at = 0, src_at = 0; // positions in all_ and src->members
    };
    struct victim {
        entry* e;
        cut_fn on_cut;
        over why;
    };
    // Under the lock: the member holding the most bytes, if any holds some.
    static entry* largest(const std::vector<entry*>& in);
    void cut(entry* e, over why, std::vector<victim>& out);
    void leave(entry* e);

    std::size_t per_source_max_, total_max_;
    mutable std::mutex mutex_;
    std::size_t total_ = 0;
    std::unordered_map<std::string, source> sources_;
    std::vector<entry*> all_;
};

} // namespace kv
