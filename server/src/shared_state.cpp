#include "shared_state.hpp"

#include "crypto.hpp"
#include "log.hpp"

#include <chrono>
#include <ctime>

namespace kv {

shared_state::shared_state(const config& cfg, id_store& store, conn_limit& conns)
    : cfg_(cfg), store_(store), conns_(conns),
      lockout_(cfg.lock_per_id, cfg.lock_per_addr, cfg.lock_window_s, cfg.lock_duration_s),
      open_source_(cfg.open_per_source / 60, cfg.open_burst_source),
      open_pair_(cfg.open_per_pair / 60, cfg.open_burst_pair),
      open_target_(cfg.open_per_target / 60, cfg.open_burst_target),
      binds_(cfg.binds_per_hour / 3600.0, cfg.binds_per_hour) {}

void shared_state::outbox::send(const std::shared_ptr<peer>& to, const json& msg) {
    items.push_back({to, std::make_shared<const std::string>(dump(msg)), {}, {}});
}

void shared_state::outbox::close(const std::shared_ptr<peer>& to, std::string why,
                                 peer::close_code code) {
    items.push_back({to, nullptr, std::move(why), code});
}

void shared_state::outbox::flush() {
    for (auto& i : items) {
        if (i.frame)
            i.to->send(std::move(i.frame));
        else
            i.to->close(std::move(i.close), i.code);
    }
    items.clear();
}

steady::time_point shared_state::after(double seconds) const {
    return steady::now() +
           std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(seconds));
}

json shared_state::ice_servers(std::string_view tag) const {
    json list = json::array();
    if (!cfg_.stun_urls.empty()) list.push_back({{"urls", cfg_.stun_urls}});
    if (cfg_.turn()) {
        auto expiry = static_cast<std::int64_t>(std::time(nullptr)) + cfg_.turn_ttl_s;
        auto c = make_turn_credentials(cfg_.turn_secret, expiry, tag);
        list.push_back(
            {{"urls", cfg_.turn_urls}, {"username", c.username}, {"credential", c.credential}});
    }
    return list;
}

std::string shared_state::health_json(bool& ok) {
    // /health is open to everyone: the database is probed at most once a second.
    static std::mutex probe_mutex;
    static steady::time_point probed{};
    static bool store_ok = false;
    {
        std::lock_guard lock(probe_mutex);
        auto now = steady::now();
        if (now - probed > std::chrono::seconds(1)) {
            store_ok = store_.usable();
            probed = now;
        }
        ok = store_ok;
    }
    return dump({{"app", "kelvorasrv"},
                 {"v", KV_SIGNAL_VERSION},
                 {"turn", cfg_.turn() ? "si" : "no"},
                 {"store", ok ? "si" : "no"}});
}

void shared_state::refused(std::string_view why, std::initializer_list<log_field> fields) {
    {
        std::lock_guard lock(refusals_mutex_);
        auto it = refusals_.find(why);
        if (it == refusals_.end()) it = refusals_.emplace(std::string(why), 0).first;
        ++it->second;
    }
    std::vector<log_field> all{{"why", why}};
    all.insert(all.end(), fields.begin(), fields.end());
    log_event("refused", all);
}

std::string shared_state::metrics_text() {
    std::size_t hosts = 0, pending = 0, sessions = 0, rings = 0, rooms = 0, members = 0;
    {
        std::lock_guard lock(mutex_);
        hosts = hosts_.size();
        for (auto& [sid, r] : requests_)
            ++(r.accepted ? sessions : pending);
        rings = rings_.size();
        rooms = rooms_.size();
        for (auto& [code, rm] : rooms_)
            members += rm.members.size();
    }
    std::string out;
    auto gauge = [&](const char* name, const char* help, std::size_t v) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name +
               " " + std::to_string(v) + "\n";
    };
    gauge("kelvora_signal_connections", "Open TCP connections (HTTP and WebSocket).",
          static_cast<std::size_t>(conns_.open()));
    gauge("kelvora_signal_websockets", "Open WebSockets.", sockets());
    gauge("kelvora_signal_hosts_online", "PCs registered on /host/.", hosts);
    gauge("kelvora_signal_pending_requests", "Support requests waiting for the PC's answer.",
          pending);
    gauge("kelvora_signal_sessions", "Accepted support requests still linked.", sessions);
    gauge("kelvora_signal_rings", "Phone rings open or answered.", rings);
    gauge("kelvora_signal_rooms", "Group call rooms.", rooms);
    gauge("kelvora_signal_room_members", "Members of all group call rooms.", members);
    gauge("kelvora_signal_queued_bytes", "Bytes queued to all sockets.", queued_bytes.load());
    out += "# HELP kelvora_signal_refusals_total Refusals by reason.\n"
           "# TYPE kelvora_signal_refusals_total counter\n";
    std::lock_guard lock(refusals_mutex_);
    for (auto& [why, n] : refusals_) {
        std::string label;
        for (char c : why)
            label += (c == '"' || c == '\\' || c == '\n') ? '_' : c;
        out +=
            "kelvora_signal_refusals_total{reason=\"" + label + "\"} " + std::to_string(n) + "\n";
    }
    return out;
}

void shared_state::attach(const std::shared_ptr<peer>& p) {
    std::lock_guard lock(sockets_mutex_);
    sockets_[p.get()] = p;
}

void shared_state::detach(const peer* p) {
    std::lock_guard lock(sockets_mutex_);
    sockets_.erase(p);
}

std::size_t shared_state::sockets() const {
    std::lock_guard lock(sockets_mutex_);
    return sockets_.size();
}

std::size_t shared_state::shut_down() {
    stopping_ = true;
    std::vector<std::shared_ptr<peer>> all;
    {
        std::lock_guard lock(sockets_mutex_);
        for (auto& [raw, weak] : sockets_)
            if (auto p = weak.lock()) all.push_back(std::move(p));
    }
    for (auto& p : all)
        p->close("server going away", peer::close_code::going_away);
    return all.size();
}

void shared_state::recheck_bindings() {
    std::vector<std::shared_ptr<peer>> hosts;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, p] : hosts_)
            hosts.push_back(p);
    }
    for (auto& p : hosts) {
        if (store_.holds(p->target, p->key_hash)) continue;
        log_event("revoked", {{"id", p->target}, {"addr", p->addr}});
        p->close("revoked", peer::close_code::normal);
    }
}

std::string shared_state::ice_json() const {
    return dump({{"iceServers", ice_servers("kelvora")}});
}

void shared_state::on_frame(const std::shared_ptr<peer>& p, std::string_view text) {
    auto j = parse_frame(text);
    if (!j) {
        refused("malformed frame", {{"addr", p->addr}});
        p->close("malformed frame", peer::close_code::policy);
        return;
    }
    const std::string t = (*j)["t"].get<std::string>();
    if (t == "ping") return;

    // Key checks touch the disk, so they run before the routing lock is taken.
    auto bound = id_store::bind_result::error;
    bool hello = p->k == peer::kind::host && t == "hello" && !p->opened;
    if (hello) {
        std::string key = text_field(*j, "key", 300);
        if (key.size() < 16 || key.size() > 256) {
            refused("bad key", {{"id", p->target}, {"addr", p->addr}});
            p->close("bad hello", peer::close_code::policy);
            return;
        }
        std::string hash = sha256_hex(key);
        bound = store_.bind(p->target, hash, [&] { return binds_.take(p->source, steady::now()); });
        p->key_hash = std::move(hash); // read under the lock only after this
    }
    // A ring names its caller; the caller's own key proves it, else it is only a claim.
    bool verified = false;
    if (p->k == peer::kind::ring && t == "ring" && !p->opened) {
        std::string from = text_field(*j, "from", 16), key = text_field(*j, "key", 300);
        if (valid_id(from) && key.size() >= 16 && key.size() <= 256)
            verified = store_.holds(from, sha256_hex(key));
    }

    outbox out;
    {
        std::lock_guard lock(mutex_);
        if (p->gone) return;
        switch (p->k) {
        case peer::kind::host:
            if (hello)
                host_hello(p, *j, bound, out);
            else if (p->registered)
                host_frame(p, t, *j, out);
            else if (!p->opened)
                out.close(p, "hello expected", peer::close_code::policy);
            break;
        case peer::kind::join:
            join_frame(p, t, *j, out);
            break;
        case peer::kind::ring:
            ring_frame(p, t, *j, verified, out);
            break;
        case peer::kind::call:
            call_frame(p, t, *j, out);
            break;
        }
    }
    out.flush();
}

void shared_state::on_close(const std::shared_ptr<peer>& p) {
    outbox out;
    {
        std::lock_guard lock(mutex_);
        if (p->gone) return;
        switch (p->k) {
        case peer::kind::host:
            drop_host(p, out);
            break;
        case peer::kind::join:
            drop_tech(p, out);
            break;
        case peer::kind::ring:
            drop_caller(p, out);
            break;
        case peer::kind::call:
            leave_room(p, out);
            break;
        }
        p->gone = true;
    }
    out.flush();
}

void shared_state::tick() {
    outbox out;
    std::vector<std::string> online;
    {
        std::lock_guard lock(mutex_);
        auto now = steady::now();
        // Bindings of PCs that stay connected for months must not expire under them.
        if (now - touched_ > std::chrono::hours(1)) {
            touched_ = now;
            for (auto& [id, p] : hosts_)
                online.push_back(id);
        }
        std::vector<std::string> late;
        for (auto& [sid, r] : requests_)
            if (!r.accepted && r.deadline <= now) late.push_back(sid);
        for (auto& sid : late) {
            auto& r = requests_[sid];
            log_event("denied", {{"id", r.id}, {"sid", sid}, {"reason", "timeout"}});
            out.send(r.tech, {{"t", "denied"}, {"reason", "timeout"}});
            out.close(r.tech, "timeout");
            out.send(r.host, {{"t", "cancel"}, {"sid", sid}});
            end_request(sid, out);
        }
        late.clear();
        for (auto& [cid, r] : rings_)
            if (!r.answered && r.deadline <= now) late.push_back(cid);
        for (auto& cid : late) {
            auto& r = rings_[cid];
            log_event("ring-timeout", {{"id", r.id}, {"cid", cid}});
            out.send(r.caller, {{"t", "declined"}, {"reason", "timeout"}});
            out.close(r.caller, "timeout");
            out.send(r.callee, {{"t", "ringcancel"}, {"cid", cid}});
            end_ring(cid, out);
        }
    }
    out.flush();
    store_.touch(online);
}

void shared_state::host_hello(const std::shared_ptr<peer>& p, const json& j,
                              id_store::bind_result r, outbox& out) {
    const std::string& id = p->target;
    if (r == id_store::bind_result::error) {
        out.close(p, "storage error");
        return;
    }
    if (r == id_store::bind_result::taken) {
        refused("taken", {{"id", id}, {"addr", p->addr}});
        out.send(p, {{"t", "taken"}});
        out.close(p, "taken");
        return;
    }
    if (r == id_store::bind_result::limited) {
        // Not "taken": the page would stop trying, and the ID may well be free later.
        refused("new ids", {{"id", id}, {"addr", p->addr}});
        out.close(p, "too many new ids", peer::close_code::policy);
        return;
    }
    p->opened = true;
    p->name = name_field(j, "name");
    std::string ver = text_field(j, "ver", 32);
    auto it = hosts_.find(id);
    if (it != hosts_.end()) {
        auto old = it->second;
        drop_host(old, out);
        log_event("replaced", {{"id", id}, {"addr", old->addr}});
        out.send(old, {{"t", "replaced"}});
        out.close(old, "replaced");
    }
    hosts_[id] = p;
    p->registered = true;
    log_event("register", {{"id", id},
                           {"addr", p->addr},
                           {"name", p->name},
                           {"ver", ver},
                           {"new", r == id_store::bind_result::bound ? "yes" : "no"}});
    out.send(p, {{"t", "ready"}});
}

void shared_state::drop_host(const std::shared_ptr<peer>& p, outbox& out) {
    if (!p->registered) return;
    p->registered = false;
    auto it = hosts_.find(p->target);
    if (it != hosts_.end() && it->second == p) hosts_.erase(it);
    log_event("unregister", {{"id", p->target}, {"addr", p->addr}});

    for (const auto& sid : std::set<std::string>(p->sids)) {
        auto& r = requests_[sid];
        out.send(r.tech, {{"t", "ended"}, {"reason", "hostgone"}});
        out.close(r.tech, "host gone");
        end_request(sid, out);
    }
    for (const auto& cid : std::set<std::string>(p->cids)) {
        auto& r = rings_[cid];
        // An answered call goes on between the two PCs; only an open ring is refused.
        if (!r.answered) {
            out.send(r.caller, {{"t", "declined"}, {"reason", "offline"}});
            out.close(r.caller, "offline");
        }
        end_ring(cid, out);
    }
}

bool shared_state::may_open(const std::shared_ptr<peer>& p) {
    auto now = steady::now();
    if (!open_source_.take(p->source, now)) {
        refused("open rate", {{"addr", p->addr}, {"target", p->target}});
        return false;
    }
    // Joins and rings share the budget of an ID; a call code has its own. The pair is
    // checked first: a source that floods one PC spends only its own share, never the
    // budget that other technicians need to reach it.
    std::string key = (p->k == peer::kind::call ? "c:" : "i:") + p->target;
    if (!open_pair_.take(p->source + "|" + key, now)) {
        refused("pair rate", {{"addr", p->addr}, {"target", p->target}});
        return false;
    }
    if (!open_target_.take(key, now)) {
        refused("target rate", {{"addr", p->addr}, {"target", p->target}});
        return false;
    }
    return true;
}

bool shared_state::may_wait(const std::shared_ptr<peer>& p) const {
    auto it = waiting_.find(p->source);
    return it == waiting_.end() || it->second < cfg_.max_pending_per_source;
}

void shared_state::waiting(const std::shared_ptr<peer>& p, int delta) {
    int& n = waiting_[p->source];
    n += delta;
    if (n <= 0) waiting_.erase(p->source);
}

void shared_state::host_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                              outbox& out) {
    if (t == "answer") return host_answer(p, j, out);
    if (t == "signal" || t == "bye") {
        std::string sid = text_field(j, "sid", 64);
        if (!p->sids.count(sid)) return;
        auto& r = requests_[sid];
        if (!r.accepted) return;
        if (t == "signal") {
            if (j.contains("data")) out.send(r.tech, {{"t", "signal"}, {"data", j["data"]}});
            return;
        }
        std::string reason = end_reason(text_field(j, "why"));
        log_event("ended", {{"id", p->target}, {"sid", sid}, {"by", "host"}, {"reason", reason}});
        out.send(r.tech, {{"t", "ended"}, {"reason", reason}});
        out.close(r.tech, "ended");
        end_request(sid, out);
        return;
    }
    if (t == "ringans" || t == "csignal" || t == "hangup") return callee_frame(p, t, j, out);
}

} // namespace kv
