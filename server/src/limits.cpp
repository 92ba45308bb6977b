#include "limits.hpp"

#include <algorithm>
#include <boost/asio/ip/address.hpp>

namespace kv {
namespace {

constexpr std::size_t max_entries = 100000;
// Refusals in flight at once: each lives a few seconds, just long enough to say 429.
constexpr int max_overflow = 64;

} // namespace

steady::duration seconds_of(double s) {
    return std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(s));
}

std::string source_key(const std::string& addr) {
    boost::system::error_code ec;
    auto a = boost::asio::ip::make_address(addr, ec);
    if (ec || !a.is_v6()) return addr;
    auto v6 = a.to_v6();
    if (v6.is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_string();
    auto bytes = v6.to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

bool rate_limit::take(const std::string& key, steady::time_point now) {
    std::lock_guard lock(mutex_);
    bucket& b = table_.get(key);
    if (b.tokens < 0) {
        b.tokens = burst_;
    } else {
        b.tokens =
            std::min(burst_, b.tokens + std::chrono::duration<double>(now - b.at).count() * rate_);
    }
    b.at = now;
    if (b.tokens < 1) return false;
    b.tokens -= 1;
    return true;
}

lockout::lockout(int per_id, int per_source, double window_s, double duration_s)
    : per_id_(per_id), per_source_(per_source), window_(seconds_of(window_s)),
      duration_(seconds_of(duration_s)), ids_(max_entries), sources_(max_entries) {}

std::optional<double> lockout::left(bounded_table<entry>& t, const std::string& k,
                                    steady::time_point now) {
    entry* e = t.find(k);
    if (!e || e->until <= now) return std::nullopt;
    return std::chrono::duration<double>(e->until - now).count();
}

std::optional<double> lockout::locked(const std::string& id, const std::string& source,
                                      steady::time_point now) {
    auto a = left(ids_, id, now), b = left(sources_, source, now);
    if (a && b) return *a > *b ? a : b;
    return a ? a : b;
}

bool lockout::bump(bounded_table<entry>& t, const std::string& k, int limit,
                   steady::time_point now) {
    entry& e = t.get(k);
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

std::optional<double> lockout::failure(const std::string& id, const std::string& source,
                                       steady::time_point now) {
    bool by_id = bump(ids_, id, per_id_, now);
    bool by_source = bump(sources_, source, per_source_, now);
    if (!by_id && !by_source) return std::nullopt;
    return std::chrono::duration<double>(duration_).count();
}

conn_limit::ticket& conn_limit::ticket::operator=(ticket&& o) noexcept {
    if (this != &o) {
        if (owner_) owner_->release(*this);
        owner_ = std::exchange(o.owner_, nullptr);
        source_ = std::move(o.source_);
        overflow_ = o.overflow_;
    }
    return *this;
}

conn_limit::ticket::~ticket() {
    if (owner_) owner_->release(*this);
}

conn_limit::ticket conn_limit::acquire(const std::string& source) {
    std::lock_guard lock(mutex_);
    ticket t;
    bool room = total_ < total_max_;
    if (room && !source.empty()) {
        auto it = per_source_.find(source);
        room = it == per_source_.end() || it->second < per_source_max_;
    }
    if (room) {
        ++total_;
        if (!source.empty()) ++per_source_[source];
        t.source_ = source;
    } else if (overflow_ < max_overflow) {
        ++overflow_;
        t.overflow_ = true;
    } else {
        return t;
    }
    t.owner_ = this;
    return t;
}

bool conn_limit::assign(ticket& t, const std::string& source) {
    std::lock_guard lock(mutex_);
    if (!t.owner_ || t.overflow_) return false;
    if (!t.source_.empty()) return true;
    int& n = per_source_[source];
    if (n >= per_source_max_) {
        if (n == 0) per_source_.erase(source);
        return false;
    }
    ++n;
    t.source_ = source;
    return true;
}

int conn_limit::open() const {
    std::lock_guard lock(mutex_);
    return total_;
}

void conn_limit::release(const ticket& t) {
    std::lock_guard lock(mutex_);
    if (t.overflow_) {
        --overflow_;
        return;
    }
    --total_;
    if (t.source_.empty()) return;
    auto it = per_source_.find(t.source_);
    if (it != per_source_.end() && --it->second <= 0) per_source_.erase(it);
}

queue_budget::account& queue_budget::account::operator=(account&& o) noexcept {
    if (this != &o) {
        if (owner_) owner_->leave(e_);
        owner_ = std::exchange(o.owner_, nullptr);
        e_ = std::exchange(o.e_, nullptr);
    }
    return *this;
}

queue_budget::account::~account() {
    if (owner_) owner_->leave(e_);
}

queue_budget::account queue_budget::open(const std::string& key, cut_fn on_cut) {
    auto* e = new entry{key, nullptr, 0, false, std::move(on_cut), 0, 0};
    std::lock_guard lock(mutex_);
    source& s = sources_[key];
    e->src = &s;
    e->src_at = s.members.size();
    s.members.push_back(e);
    e->all_at = all_.size();
    all_.push_back(e);
    account a;
    a.owner_ = this;
    a.e_ = e;
    return a;
}

void queue_budget::leave(entry* e) {
    {
        std::lock_guard lock(mutex_);
        e->src->bytes -= e->bytes;
        total_ -= e->bytes;
        auto unlist = [](std::vector<entry*>& v, std::size_t at, std::size_t entry::*pos) {
            v[at] = v.back();
            v[at]->*pos = at;
            v.pop_back();
        };
        unlist(all_, e->all_at, &entry::all_at);
        unlist(e->src->members, e->src_at, &entry::src_at);
        if (e->src->members.empty()) sources_.erase(e->key);
    }
    delete e;
}

queue_budget::entry* queue_budget::largest(const std::vector<entry*>& in) {
    entry* best = nullptr;
    for (entry* e : in)
        if (e->bytes > 0 && (!best || e->bytes > best->bytes)) best = e;
    return best;
}

void queue_budget::cut(entry* e, over why, std::vector<victim>& out) {
    e->cut = true;
    e->src->bytes -= e->bytes;
    total_ -= e->bytes;
    e->bytes = 0;
    out.push_back({e, e->on_cut, why});
}

bool queue_budget::account::add(std::size_t n, over& why) {
    queue_budget& b = *owner_;
    std::vector<victim> victims;
    bool kept = true;
    {
        std::lock_guard lock(b.mutex_);
        if (e_->cut) {
            why = over::total;
            return false;
        }
        e_->bytes += n;
        e_->src->bytes += n;
        b.total_ += n;
        // Each cut frees at least one byte, so both loops end.
        while (e_->src->bytes > b.per_source_max_) {
            entry* v = largest(e_->src->members);
            if (!v) break;
            b.cut(v, over::source, victims);
        }
        while (b.total_ > b.total_max_ && !e_->cut) {
            entry* v = largest(b.all_);
            if (!v) break;
            b.cut(v, over::total, victims);
        }
        for (auto& v : victims)
            if (v.e == e_) {
                kept = false;
                why = v.why;
            }
    }
    // The caller learns of its own cut from the result; the others are told to close.
    for (auto& v : victims)
        if (v.e != e_) v.on_cut(v.why);
    return kept;
}

void queue_budget::account::remove(std::size_t n) {
    queue_budget& b = *owner_;
    std::lock_guard lock(b.mutex_);
    if (e_->cut) return;
    n = std::min(n, e_->bytes);
    e_->bytes -= n;
    e_->src->bytes -= n;
    b.total_ -= n;
}

std::size_t queue_budget::total() const {
    std::lock_guard lock(mutex_);
    return total_;
}

} // namespace kv
