// Group call rooms by code: up to eight members in a full mesh; the server only names
// members, picks a host and routes signals by member id.
#include "crypto.hpp"
#include "log.hpp"
#include "shared_state.hpp"

#include <algorithm>

namespace kv {
namespace {

constexpr std::size_t room_size = 8;

} // namespace

void shared_state::call_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                              outbox& out) {
    const std::string& code = p->target;
    if (!p->opened) {
        if (t != "join") return out.close(p, "join expected", peer::close_code::policy);
        p->opened = true;
        // A guesser that runs into the limit learns nothing about the code.
        if (!may_open(p)) {
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
        room& rm = rooms_[code];
        if (rm.banned.count(p->source)) {
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
        if (rm.members.empty()) rm.host = mid;
        rm.members.push_back({mid, p->name, p});
        p->link = mid;
        log_event("call-join", {{"code", code},
                                {"member", mid},
                                {"addr", p->addr},
                                {"size", std::to_string(rm.members.size())}});
        out.send(p, {{"t", "welcome"},
                     {"id", mid},
                     {"host", rm.host},
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
        if (rm.host != p->link || target == rm.members.end() || target->p == p) return;
        auto victim = target->p;
        log_event("call-kick", {{"code", code}, {"member", target->id}, {"by", p->link}});
        // Kept out by source for the room's life: a new socket would otherwise walk
        // straight back in. The room's list is bounded by the joins it can have taken.
        if (rm.banned.size() < 64) rm.banned.insert(victim->source);
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
    std::erase_if(rm.members, [&](const member& m) { return m.id == mid; });
    log_event("call-leave", {{"code", p->target}, {"member", mid}});
    if (rm.members.empty()) {
        rooms_.erase(it);
        return;
    }
    // The longest-present member takes over, so the room never lacks someone who can kick.
    if (rm.host == mid) rm.host = rm.members.front().id;
    for (auto& m : rm.members)
        out.send(m.p, {{"t", "peer-leave"}, {"id", mid}, {"host", rm.host}});
}

} // namespace kv
