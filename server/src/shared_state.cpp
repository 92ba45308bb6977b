#include "shared_state.hpp"

#include "crypto.hpp"
#include "log.hpp"

#include <chrono>
#include <ctime>

namespace kv {

shared_state::shared_state(const config& cfg, id_store& store)
    : cfg_(cfg), store_(store),
      lockout_(cfg.lock_per_id, cfg.lock_per_addr, cfg.lock_window_s, cfg.lock_duration_s) {}

void shared_state::outbox::send(const std::shared_ptr<peer>& to, const json& msg) {
    items.push_back({to, std::make_shared<const std::string>(dump(msg)), {}, false});
}

void shared_state::outbox::close(const std::shared_ptr<peer>& to, std::string why, bool policy) {
    items.push_back({to, nullptr, std::move(why), policy});
}

void shared_state::outbox::flush() {
    for (auto& i : items) {
        if (i.frame)
            i.to->send(std::move(i.frame));
        else
            i.to->close(std::move(i.close), i.policy);
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

std::string shared_state::health_json() const {
    return dump(
        {{"app", "kelvorasrv"}, {"v", KV_SIGNAL_VERSION}, {"turn", cfg_.turn() ? "si" : "no"}});
}

std::string shared_state::ice_json() const {
    return dump({{"iceServers", ice_servers("kelvora")}});
}

void shared_state::on_frame(const std::shared_ptr<peer>& p, std::string_view text) {
    auto j = parse_frame(text);
    if (!j) {
        log_event("refused", {{"why", "malformed frame"}, {"addr", p->addr}});
        p->close("malformed frame", true);
        return;
    }
    const std::string t = (*j)["t"].get<std::string>();
    if (t == "ping") return;

    // The key check touches the disk, so it runs before the routing lock is taken.
    auto bound = id_store::bind_result::error;
    bool hello = p->k == peer::kind::host && t == "hello" && !p->opened;
    if (hello) {
        std::string key = text_field(*j, "key", 300);
        if (key.size() < 16 || key.size() > 256) {
            log_event("refused", {{"why", "bad key"}, {"id", p->target}, {"addr", p->addr}});
            p->close("bad hello", true);
            return;
        }
        bound = store_.bind(p->target, sha256_hex(key));
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
                out.close(p, "hello expected", true);
            break;
        case peer::kind::join:
            join_frame(p, t, *j, out);
            break;
        case peer::kind::ring:
            ring_frame(p, t, *j, out);
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
    {
        std::lock_guard lock(mutex_);
        auto now = steady::now();
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
}

void shared_state::host_hello(const std::shared_ptr<peer>& p, const json& j,
                              id_store::bind_result r, outbox& out) {
    const std::string& id = p->target;
    if (r == id_store::bind_result::error) {
        out.close(p, "storage error", false);
        return;
    }
    if (r == id_store::bind_result::taken) {
        log_event("refused", {{"why", "taken"}, {"id", id}, {"addr", p->addr}});
        out.send(p, {{"t", "taken"}});
        out.close(p, "taken");
        return;
    }
    p->opened = true;
    p->name = text_field(j, "name", 64);
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
