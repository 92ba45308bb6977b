#include "limits.hpp"

namespace kv {
namespace {

constexpr std::size_t max_entries = 100000;

steady::duration seconds(double s) {
    return std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(s));
}

} // namespace

lockout::lockout(int per_id, int per_addr, double window_s, double duration_s)
    : per_id_(per_id), per_addr_(per_addr), window_(seconds(window_s)),
      duration_(seconds(duration_s)) {}

std::optional<double> lockout::left(table& t, const std::string& k, steady::time_point now) {
    auto it = t.find(k);
    if (it == t.end() || it->second.until <= now) return std::nullopt;
    return std::chrono::duration<double>(it->second.until - now).count();
}

std::optional<double> lockout::locked(const std::string& id, const std::string& addr,
                                      steady::time_point now) {
    auto a = left(ids_, id, now), b = left(addrs_, addr, now);
    if (a && b) return *a > *b ? a : b;
    return a ? a : b;
}

bool lockout::bump(table& t, const std::string& k, int limit, steady::time_point now) {
    if (t.size() >= max_entries) prune(t, now);
    if (t.size() >= max_entries) return false; // flood: refuse to grow, keep old locks
    entry& e = t[k];
    if (e.until > now) return false;
    if (e.count == 0 || now - e.first > window_) {
        e.count = 0;
        e.first = now;
    }
    if (++e.count < limit) return false;
    e.count = 0;
    e.until = now + duration_;
    return true;
}

void lockout::prune(table& t, steady::time_point now) {
    for (auto it = t.begin(); it != t.end();) {
        bool stale = it->second.until <= now && now - it->second.first > window_;
        it = stale ? t.erase(it) : std::next(it);
    }
}

std::optional<double> lockout::failure(const std::string& id, const std::string& addr,
                                       steady::time_point now) {
    bool by_id = bump(ids_, id, per_id_, now);
    bool by_addr = bump(addrs_, addr, per_addr_, now);
    if (!by_id && !by_addr) return std::nullopt;
    return std::chrono::duration<double>(duration_).count();
}

conn_limit::ticket& conn_limit::ticket::operator=(ticket&& o) noexcept {
    if (this != &o) {
        if (owner_) owner_->release(addr_);
        owner_ = o.owner_;
        addr_ = std::move(o.addr_);
        o.owner_ = nullptr;
    }
    return *this;
}

conn_limit::ticket::~ticket() {
    if (owner_) owner_->release(addr_);
}

conn_limit::ticket conn_limit::acquire_total() {
    std::lock_guard lock(mutex_);
    ticket t;
    if (total_ >= total_max_) return t;
    ++total_;
    t.owner_ = this;
    return t;
}

bool conn_limit::assign(ticket& t, const std::string& addr) {
    std::lock_guard lock(mutex_);
    if (!t.owner_ || !t.addr_.empty()) return t.owner_ != nullptr;
    int& n = per_addr_[addr];
    if (n >= per_addr_max_) return false;
    ++n;
    t.addr_ = addr;
    return true;
}

void conn_limit::release(const std::string& addr) {
    std::lock_guard lock(mutex_);
    --total_;
    if (addr.empty()) return;
    auto it = per_addr_.find(addr);
    if (it != per_addr_.end() && --it->second <= 0) per_addr_.erase(it);
}

} // namespace kv
