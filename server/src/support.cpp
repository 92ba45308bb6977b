// Support requests: a technician's /join/ socket and the host's /host/ socket, linked by
// a server-made sid from `join` until one side ends it.
#include "crypto.hpp"
#include "log.hpp"
#include "shared_state.hpp"

#include <cmath>

namespace kv {

void shared_state::join_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                              const opening& o, outbox& out) {
    const std::string& id = p->target;
    if (!p->opened) {
        if (t != "join") return out.close(p, "join expected", peer::close_code::policy);
        p->opened = true;
        // Before anything that tells whether the ID is online: a refused flood learns
        // nothing.
        if (open_refused(p, o)) {
            // Said as what it is: "busy" would send the technician looking for a session
            // that does not exist.
            out.send(p, {{"t", "denied"}, {"reason", "rate"}});
            return out.close(p, "rate limit");
        }
        p->name = name_field(j, "name");
        std::string pass = text_field(j, "pass", 256);
        if (o.locked) {
            int mins = static_cast<int>(std::ceil(*o.locked / 60));
            refused("locked", {{"id", id}, {"addr", p->addr}});
            out.send(p, {{"t", "locked"}, {"mins", mins}});
            return out.close(p, "locked");
        }
        auto h = hosts_.find(id);
        if (h == hosts_.end()) {
            refused("offline", {{"id", id}, {"addr", p->addr}});
            out.send(p, {{"t", "offline"}});
            return out.close(p, "offline");
        }
        auto host = h->second;
        int pending = 0;
        for (const auto& sid : host->sids)
            pending += requests_[sid].accepted ? 0 : 1;
        if (pending >= cfg_.max_pending_per_host || !may_wait(p)) {
            refused(pending >= cfg_.max_pending_per_host ? "busy" : "pending per source",
                    {{"id", id}, {"addr", p->addr}});
            out.send(p, {{"t", "busy"}});
            return out.close(p, "busy");
        }
        std::string sid = random_hex(12);
        requests_[sid] =
            request{id, p, host, false, after(cfg_.request_timeout_s + cfg_.request_grace_s)};
        waiting(p, +1);
        p->link = sid;
        host->sids.insert(sid);
        log_event("request", {{"id", id},
                              {"sid", sid},
                              {"addr", p->addr},
                              {"name", p->name},
                              {"pass", pass.empty() ? "no" : "yes"}});
        out.send(p, {{"t", "waiting"}, {"timeout", static_cast<int>(cfg_.request_timeout_s)}});
        out.send(host, {{"t", "req"},
                        {"sid", sid},
                        {"name", p->name},
                        {"pass", pass},
                        {"iceServers", ice_servers(id)}});
        return;
    }

    if (t == "signal") {
        std::string frame;
        if (auto to = signal_route(*p, p->link, data_text(j), frame))
            out.send(to, std::move(frame));
        return;
    }
    auto it = requests_.find(p->link);
    if (it == requests_.end()) return;
    auto& r = it->second;
    if (t == "bye" || t == "cancel") {
        std::string why = text_field(j, "why");
        log_event(r.accepted ? "ended" : "cancelled",
                  {{"id", id}, {"sid", p->link}, {"by", "tech"}, {"why", left_reason(why)}});
        if (r.accepted)
            out.send(r.host, {{"t", "left"}, {"sid", p->link}, {"reason", left_reason(why)}});
        else
            out.send(r.host, {{"t", "cancel"}, {"sid", p->link}});
        out.close(p, "bye");
        end_request(p->link, out);
    }
}

bool shared_state::relay_signal(const std::shared_ptr<peer>& p, std::string_view text) {
    if (p->k != peer::kind::join && p->k != peer::kind::host) return false;
    raw_frame f;
    if (!scan_frame(text, f) || f.t != R"("signal")") return false;
    std::shared_ptr<peer> to;
    std::string frame;
    {
        std::lock_guard lock(mutex_);
        // Frames waiting behind an opening, and sockets relayed to another node, take the
        // parser's path, which keeps them in order.
        if (p->busy || !p->forward_node.empty()) return false;
        if (p->gone) return true;
        if (p->k == peer::kind::join) {
            if (!p->opened) return false;
            to = signal_route(*p, p->link, f.data, frame);
        } else {
            if (!p->registered) return false;
            // A sid that is not a plain string is the parser's to read.
            if (f.sid.size() < 2 || f.sid.front() != '"' || f.sid.find('\\') != std::string_view::npos)
                return false;
            to = signal_route(*p, std::string(f.sid.substr(1, f.sid.size() - 2)), f.data, frame);
        }
    }
    if (to) to->send(std::make_shared<const std::string>(std::move(frame)));
    return true;
}

std::shared_ptr<peer> shared_state::signal_route(const peer& p, const std::string& sid,
                                                 std::string_view data, std::string& frame) {
    // A signal goes only within a session the host accepted, and only from its two ends.
    if (data.empty() || (p.k == peer::kind::host && !p.sids.count(sid))) return nullptr;
    auto it = requests_.find(sid);
    if (it == requests_.end() || !it->second.accepted) return nullptr;
    bool from_tech = p.k == peer::kind::join;
    frame.reserve(data.size() + sid.size() + 32);
    if (from_tech)
        frame.append(R"({"t":"signal","sid":")").append(sid).append(R"(","data":)");
    else
        frame.append(R"({"t":"signal","data":)");
    frame.append(data).push_back('}');
    return from_tech ? it->second.host : it->second.tech;
}

void shared_state::host_answer(const std::shared_ptr<peer>& p, const json& j, outbox& out) {
    std::string sid = text_field(j, "sid", 64);
    if (!p->sids.count(sid)) return;
    auto& r = requests_[sid];
    if (r.accepted) return;
    if (bool_field(j, "ok")) {
        r.accepted = true;
        waiting(r.tech, -1);
        log_event("accepted", {{"id", p->target}, {"sid", sid}, {"addr", r.tech->addr}});
        out.send(r.tech, {{"t", "accepted"}, {"name", p->name}, {"iceServers", ice_servers(sid)}});
        return;
    }
    std::string reason = deny_reason(text_field(j, "reason"));
    log_event("denied",
              {{"id", p->target}, {"sid", sid}, {"addr", r.tech->addr}, {"reason", reason}});
    if (reason == "badkey") {
        // The PC hears of a lock it caused once the store has counted the failure.
        out.after.push_back([this, host = p, tech = r.tech] {
            store_.failure(host->target, tech->source, [host, tech](std::optional<double> secs) {
                if (!secs) return;
                int mins = static_cast<int>(std::ceil(*secs / 60));
                log_event("locked", {{"id", host->target}, {"addr", tech->addr}});
                host->send(std::make_shared<const std::string>(
                    dump({{"t", "locked"}, {"mins", mins}})));
            });
        });
    }
    out.send(r.tech, {{"t", "denied"}, {"reason", reason}});
    out.close(r.tech, "denied");
    end_request(sid, out);
}

void shared_state::end_request(std::string sid, outbox&) {
    auto it = requests_.find(sid);
    if (it == requests_.end()) return;
    if (!it->second.accepted) waiting(it->second.tech, -1);
    it->second.host->sids.erase(sid);
    it->second.tech->link.clear();
    requests_.erase(it);
}

void shared_state::drop_tech(const std::shared_ptr<peer>& p, outbox& out) {
    auto it = requests_.find(p->link);
    if (it == requests_.end()) return;
    auto& r = it->second;
    log_event(r.accepted ? "ended" : "cancelled",
              {{"id", r.id}, {"sid", p->link}, {"by", "tech"}, {"why", "closed"}});
    if (r.accepted)
        out.send(r.host, {{"t", "left"}, {"sid", p->link}, {"reason", "closed"}});
    else
        out.send(r.host, {{"t", "cancel"}, {"sid", p->link}});
    end_request(p->link, out);
}

} // namespace kv
