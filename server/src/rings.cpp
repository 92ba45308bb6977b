// Phone rings: a caller's /ring/ socket and the callee's /host/ socket, linked by a
// server-made cid from `ring` until an answer, a hang-up or the ring timeout.
#include "crypto.hpp"
#include "log.hpp"
#include "shared_state.hpp"

namespace kv {
namespace {

// More open rings than this on one PC are refused as "limit"; the PC itself answers
// "busy" while it shows one, so these would only be noise.
constexpr std::size_t max_open_rings = 4;

} // namespace

void shared_state::ring_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                              const opening& o, outbox& out) {
    const std::string& id = p->target;
    if (!p->opened) {
        if (t != "ring") return out.close(p, "ring expected", peer::close_code::policy);
        p->opened = true;
        if (open_refused(p, o)) {
            out.send(p, {{"t", "declined"}, {"reason", "limit"}});
            return out.close(p, "rate limit");
        }
        p->name = name_field(j, "name");
        std::string from = text_field(j, "from", 16);
        if (!valid_id(from)) from.clear();
        auto h = hosts_.find(id);
        if (h == hosts_.end()) {
            refused("offline", {{"id", id}, {"addr", p->addr}, {"ring", "yes"}});
            out.send(p, {{"t", "offline"}});
            return out.close(p, "offline");
        }
        auto callee = h->second;
        std::size_t open = 0;
        for (const auto& cid : callee->cids)
            open += rings_[cid].answered ? 0 : 1;
        if (open >= max_open_rings || !may_wait(p)) {
            refused(open >= max_open_rings ? "limit" : "pending per source",
                    {{"id", id}, {"addr", p->addr}, {"ring", "yes"}});
            out.send(p, {{"t", "declined"}, {"reason", "limit"}});
            return out.close(p, "limit");
        }
        bool verified = o.verified;
        std::string cid = random_hex(12);
        rings_[cid] = ring{id, p, callee, false, after(cfg_.ring_timeout_s)};
        waiting(p, +1);
        p->link = cid;
        callee->cids.insert(cid);
        log_event("ring", {{"id", id},
                           {"cid", cid},
                           {"addr", p->addr},
                           {"from", from},
                           {"verified", verified ? "yes" : "no"},
                           {"name", p->name}});
        out.send(p, {{"t", "ringing"}, {"timeout", static_cast<int>(cfg_.ring_timeout_s)}});
        // Only a proven caller ID goes in `from`; a bare claim travels as `claimed`, for
        // the page to show as unverified.
        json msg = {{"t", "ring"},          {"cid", cid},
                    {"name", p->name},      {"from", verified ? from : std::string()},
                    {"verified", verified}, {"iceServers", ice_servers(id)}};
        if (!verified && !from.empty()) msg["claimed"] = from;
        out.send(callee, msg);
        return;
    }

    auto it = rings_.find(p->link);
    if (it == rings_.end()) return;
    auto& r = it->second;
    if (t == "signal") {
        if (r.answered && j.contains("data"))
            out.send(r.callee, {{"t", "csignal"}, {"cid", p->link}, {"data", j["data"]}});
    } else if (t == "hangup") {
        log_event("hangup", {{"id", id}, {"cid", p->link}, {"by", "caller"}});
        out.send(r.callee, {{"t", r.answered ? "hangup" : "ringcancel"}, {"cid", p->link}});
        out.close(p, "hangup");
        end_ring(p->link, out);
    }
}

void shared_state::callee_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                                outbox& out) {
    std::string cid = text_field(j, "cid", 64);
    if (!p->cids.count(cid)) return;
    auto& r = rings_[cid];
    if (t == "ringans") {
        if (r.answered) return;
        if (bool_field(j, "ok")) {
            r.answered = true;
            waiting(r.caller, -1);
            log_event("answered", {{"id", p->target}, {"cid", cid}});
            out.send(r.caller,
                     {{"t", "answered"}, {"name", p->name}, {"iceServers", ice_servers(cid)}});
            return;
        }
        std::string reason = decline_reason(text_field(j, "reason"));
        log_event("declined", {{"id", p->target}, {"cid", cid}, {"reason", reason}});
        out.send(r.caller, {{"t", "declined"}, {"reason", reason}});
        out.close(r.caller, "declined");
        end_ring(cid, out);
    } else if (t == "csignal") {
        if (r.answered && j.contains("data"))
            out.send(r.caller, {{"t", "signal"}, {"data", j["data"]}});
    } else if (t == "hangup") {
        log_event("hangup", {{"id", p->target}, {"cid", cid}, {"by", "callee"}});
        out.send(r.caller, {{"t", "hangup"}});
        out.close(r.caller, "hangup");
        end_ring(cid, out);
    }
}

void shared_state::end_ring(std::string cid, outbox&) {
    auto it = rings_.find(cid);
    if (it == rings_.end()) return;
    if (!it->second.answered) waiting(it->second.caller, -1);
    it->second.callee->cids.erase(cid);
    it->second.caller->link.clear();
    rings_.erase(it);
}

void shared_state::drop_caller(const std::shared_ptr<peer>& p, outbox& out) {
    auto it = rings_.find(p->link);
    if (it == rings_.end()) return;
    // A line that is already talking carries on without us; ringcancel only ends one
    // that is still ringing or connecting.
    out.send(it->second.callee, {{"t", "ringcancel"}, {"cid", p->link}});
    end_ring(p->link, out);
}

} // namespace kv
