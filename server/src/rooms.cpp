// Group call rooms by code: up to eight members in a full mesh; the server only names
// members, picks a host and routes signals by member id.
#include "cluster.hpp"
#include "crypto.hpp"
#include "log.hpp"
#include "shared_state.hpp"

#include <algorithm>

namespace kv {
namespace {

constexpr std::size_t room_size = 8;
// A kicked member's (source, name) stays out this long; its token for the room's life.
constexpr auto name_ban = std::chrono::minutes(10);
constexpr std::size_t max_bans = 64;
// How long after a restart the room waits for its host to come back before the
// longest-present member takes over, and how long the host's token is kept for that.
constexpr auto host_grace = std::chrono::seconds(60);
constexpr double host_keep_s = 3600;

bool valid_token(const std::string& t) {
    return t.size() == 32 &&
           std::all_of(t.begin(), t.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

void shared_state::call_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                              const opening& o, outbox& out) {
    const std::string& code = p->target;
    if (!p->opened) {
        if (t != "join") return out.close(p, "join expected", peer::close_code::policy);
        p->opened = true;
        // A guesser that runs into the limit learns nothing about the code. A member coming
        // back after a restart while the shared store is away is sent away as by a
        // restart: its page knocks again later instead of leaving the call.
        if (open_refused(p, o)) {
            if (o.refused == store::unavailable && bool_field(j, "rejoin"))
                return out.close(p, "server going away", peer::close_code::going_away);
            out.send(p, {{"t", "notfound"}});
            return out.close(p, "rate limit");
        }
        p->name = name_field(j, "name");
        auto it = rooms_.find(code);
        // `create` must really create: a drawn code that happens to be in use is refused,
        // never a way into someone else's call. `rejoin` (after "server going away")
        // creates the room again or joins whoever came back first.
        bool create = bool_field(j, "create"), rejoin = bool_field(j, "rejoin");
        bool exists = it != rooms_.end();
        if (exists ? create && !rejoin : !create && !rejoin) {
            refused(exists ? "code taken" : "notfound", {{"code", code}, {"addr", p->addr}});
            out.send(p, {{"t", "notfound"}});
            return out.close(p, "notfound");
        }
        // The token a member got in `welcome` names it across rejoins: a kick bans the
        // token (and the kicked name from its source for a while), never the address a
        // whole office may share.
        std::string token = text_field(j, "token", 64);
        if (!valid_token(token)) token = random_hex(16);
        std::string token_hash = sha256_hex(token);
        auto now = steady::now();
        room& rm = rooms_[code];
        if (!exists && !o.prior_host.empty()) {
            rm.prior_host = o.prior_host;
            rm.grace_until = now + host_grace;
            graced_.insert(code);
        }
        auto name_banned = rm.banned_names.find(p->source + "\n" + p->name);
        if (rm.banned_tokens.count(token_hash) ||
            (name_banned != rm.banned_names.end() && name_banned->second > now)) {
            refused("kicked", {{"code", code}, {"addr", p->addr}});
            out.send(p, {{"t", "kicked"}});
            return out.close(p, "kicked");
        }
        if (rm.members.size() >= room_size) {
            refused("full", {{"code", code}, {"addr", p->addr}});
            out.send(p, {{"t", "full"}});
            return out.close(p, "full");
        }
        std::string mid;
        do
            mid = random_hex(4);
        while (std::any_of(rm.members.begin(), rm.members.end(),
                           [&](const member& m) { return m.id == mid; }));
        json peers = json::array();
        for (auto& m : rm.members) {
            peers.push_back({{"id", m.id}, {"name", m.name}, {"talk", m.talk}, {"muted", m.muted}});
            out.send(m.p, {{"t", "peer-join"}, {"peer", {{"id", mid}, {"name", p->name}}}});
        }
        rm.members.push_back({mid, p->name, p, token_hash});
        p->link = mid;
        if (!rm.prior_host.empty() && rm.prior_host == token_hash) {
            rm.prior_host.clear();
            graced_.erase(code);
            make_host(code, rm, mid, token_hash, out);
            // The members who came back first hear who holds the room again.
            for (auto& m : rm.members)
                if (m.p != p) out.send(m.p, {{"t", "host"}, {"id", mid}});
        } else if (rm.host.empty() && rm.prior_host.empty()) {
            make_host(code, rm, mid, token_hash, out);
        }
        log_event("call-join", {{"code", code},
                                {"member", mid},
                                {"addr", p->addr},
                                {"size", std::to_string(rm.members.size())}});
        out.send(p, {{"t", "welcome"},
                     {"id", mid},
                     {"host", rm.host},
                     {"token", token},
                     {"iceServers", ice_servers(code)},
                     {"peers", peers}});
        return;
    }

    auto it = rooms_.find(code);
    if (it == rooms_.end() || p->link.empty()) return;
    room& rm = it->second;
    auto find = [&](const std::string& id) {
        return std::find_if(rm.members.begin(), rm.members.end(),
                            [&](const member& m) { return m.id == id; });
    };
    if (t == "signal") {
        auto to = find(text_field(j, "to", 32));
        if (to != rm.members.end() && to->p != p && j.contains("data"))
            out.send(to->p,
                     {{"t", "signal"}, {"from", p->link}, {"name", p->name}, {"data", j["data"]}});
    } else if (t == "state") {
        auto self = find(p->link);
        if (self == rm.members.end()) return;
        self->talk = bool_field(j, "talk");
        self->muted = bool_field(j, "muted");
        json msg = {{"t", "state"}, {"id", p->link}, {"talk", self->talk}, {"muted", self->muted}};
        for (auto& m : rm.members)
            if (m.p != p) out.send(m.p, msg);
    } else if (t == "kick") {
        auto target = find(text_field(j, "id", 32));
        if (rm.host.empty() || rm.host != p->link || target == rm.members.end() || target->p == p)
            return;
        auto victim = target->p;
        log_event("call-kick", {{"code", code}, {"member", target->id}, {"by", p->link}});
        // Kept out by token for the room's life and by (source, name) for a while: a new
        // socket would otherwise walk straight back in. Both lists are bounded.
        auto now = steady::now();
        std::erase_if(rm.banned_names, [&](const auto& b) { return b.second <= now; });
        if (rm.banned_tokens.size() < max_bans) rm.banned_tokens.insert(target->token_hash);
        if (rm.banned_names.size() < max_bans)
            rm.banned_names[victim->source + "\n" + victim->name] = now + name_ban;
        out.send(victim, {{"t", "kicked"}});
        out.close(victim, "kicked");
        leave_room(victim, out);
        victim->gone = true;
    }
}

void shared_state::leave_room(const std::shared_ptr<peer>& p, outbox& out) {
    auto it = rooms_.find(p->target);
    if (it == rooms_.end() || p->link.empty()) return;
    room& rm = it->second;
    std::string mid = p->link;
    p->link.clear();
    std::string token_hash;
    std::erase_if(rm.members, [&](const member& m) {
        if (m.id != mid) return false;
        token_hash = m.token_hash;
        return true;
    });
    log_event("call-leave", {{"code", p->target}, {"member", mid}});
    // Members leaving because the server stops, or because their node was lost, will be
    // back: the host's token is kept.
    bool coming_back = stopping_ || p->link_lost;
    if (rm.members.empty()) {
        if (!coming_back)
            out.after.push_back([this, code = p->target] { store_.set_room_host(code, "", 0); });
        graced_.erase(p->target);
        rooms_.erase(it);
        if (cluster_)
            out.after.push_back([this, code = p->target] { cluster_->release("kv:r:" + code); });
        return;
    }
    // The longest-present member takes over, so the room never lacks someone who can kick
    // (once a grace after a restart is over). Not while the server stops: the host is
    // leaving only to come back, and keeps the room. A host whose node was lost rejoins
    // here as after a restart, so the room waits for them through the same grace.
    if (rm.host == mid && p->link_lost) {
        rm.host.clear();
        rm.prior_host = token_hash;
        rm.grace_until = steady::now() + host_grace;
        graced_.insert(p->target);
    } else if (rm.host == mid && !stopping_) {
        make_host(p->target, rm, rm.members.front().id, rm.members.front().token_hash, out);
    }
    for (auto& m : rm.members)
        out.send(m.p, {{"t", "peer-leave"}, {"id", mid}, {"host", rm.host}});
}

void shared_state::room_moved(const std::string& code) {
    outbox out;
    {
        std::lock_guard lock(mutex_);
        auto it = rooms_.find(code);
        if (it == rooms_.end()) return;
        log_event("room-moved", {{"code", code}, {"members", std::to_string(it->second.members.size())}});
        // Sent away as by a restart, the members rejoin where the room is held now; the
        // host's token stays in the store, so the host gets the room back there.
        for (auto& m : it->second.members) {
            m.p->link.clear();
            out.close(m.p, "server going away", peer::close_code::going_away);
        }
        graced_.erase(code);
        rooms_.erase(it);
    }
    out.flush();
}

void shared_state::make_host(const std::string& code, room& rm, const std::string& mid,
                             const std::string& token_hash, outbox& out) {
    rm.host = mid;
    out.after.push_back(
        [this, code, token_hash] { store_.set_room_host(code, token_hash, host_keep_s); });
}

void shared_state::end_graces(outbox& out) {
    auto now = steady::now();
    for (auto it = graced_.begin(); it != graced_.end();) {
        auto r = rooms_.find(*it);
        if (r != rooms_.end() && r->second.grace_until > now) {
            ++it;
            continue;
        }
        if (r != rooms_.end()) {
            room& rm = r->second;
            rm.prior_host.clear();
            if (rm.host.empty() && !rm.members.empty()) {
                auto& first = rm.members.front();
                make_host(*it, rm, first.id, first.token_hash, out);
                for (auto& m : rm.members)
                    out.send(m.p, {{"t", "host"}, {"id", rm.host}});
            }
        }
        it = graced_.erase(it);
    }
}

} // namespace kv
