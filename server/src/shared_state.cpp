#include "shared_state.hpp"

#include "cluster.hpp"
#include "crypto.hpp"
#include "log.hpp"

#include <chrono>
#include <ctime>

namespace kv {

namespace {

// Frames a socket may send while the store answers about its opening frame; a client
// that sends more before it is even registered is not a page.
constexpr std::size_t max_held = 64;

} // namespace

shared_state::shared_state(const config& cfg, store& st, conn_limit& conns)
    : queues(cfg.max_queued_per_source, cfg.max_queued_total), cfg_(cfg), store_(st),
      conns_(conns) {}

void shared_state::outbox::send(const std::shared_ptr<peer>& to, const json& msg) {
    items.push_back({to, std::make_shared<const std::string>(dump(msg)), {}, {}});
}

void shared_state::outbox::send(const std::shared_ptr<peer>& to, std::string frame) {
    items.push_back({to, std::make_shared<const std::string>(std::move(frame)), {}, {}});
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
    for (auto& f : after)
        f();
    after.clear();
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
        ok = store_ok && (!cluster_ || cluster_->up());
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
    gauge("kelvora_signal_queued_bytes", "Bytes queued to all sockets.", queues.total());
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
        if (stopping_) return;
        std::string hash;
        {
            std::lock_guard lock(mutex_);
            hash = p->key_hash;
        }
        store_.holds(p->target, hash, [p](store::held h) {
            if (h != store::held::no) return;
            log_event("revoked", {{"id", p->target}, {"addr", p->addr}});
            p->close("revoked", peer::close_code::normal);
        });
    }
}

std::string shared_state::ice_json() const {
    return dump({{"iceServers", ice_servers("kelvora")}});
}

void shared_state::on_frame(const std::shared_ptr<peer>& p, std::string_view text) {
    if (relay_signal(p, text)) return;
    auto j = parse_frame(text);
    if (!j) {
        refused("malformed frame", {{"addr", p->addr}});
        p->close("malformed frame", peer::close_code::policy);
        return;
    }
    if ((*j)["t"] == "ping") return;
    accept(p, std::move(*j));
}

void shared_state::accept(const std::shared_ptr<peer>& p, json j) {
    {
        std::lock_guard lock(mutex_);
        if (p->gone) return;
        if (p->busy) {
            if (p->held.size() < max_held) {
                p->held.push_back(std::move(j));
                return;
            }
            refused("frames before opening", {{"addr", p->addr}});
            p->close("too many frames", peer::close_code::policy);
            return;
        }
        p->busy = true;
    }
    run(p, std::move(j));
}

void shared_state::run(const std::shared_ptr<peer>& p, json j) {
    for (;;) {
        if (ask_store(p, j)) return;
        outbox out;
        {
            std::lock_guard lock(mutex_);
            if (!p->gone) route(p, j, opening{}, out);
        }
        out.flush();
        std::lock_guard lock(mutex_);
        if (p->gone || p->held.empty()) {
            p->busy = false;
            return;
        }
        j = std::move(p->held.front());
        p->held.pop_front();
    }
}

void shared_state::finish(const std::shared_ptr<peer>& p, json j, opening o) {
    outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!p->gone) route(p, j, o, out);
    }
    out.flush();
    {
        std::lock_guard lock(mutex_);
        if (p->gone || p->held.empty()) {
            p->busy = false;
            return;
        }
        j = std::move(p->held.front());
        p->held.pop_front();
    }
    run(p, std::move(j));
}

bool shared_state::ask_store(const std::shared_ptr<peer>& p, const json& j) {
    if (p->opened) return false;
    const std::string& t = j["t"].get_ref<const std::string&>();
    auto self = shared_from_this();
    auto o = std::make_shared<opening>();
    auto done = [self, p, j, o] {
        self->locate(p, j, o, [self, p, j, o] { self->finish(p, j, std::move(*o)); });
    };
    switch (p->k) {
    case peer::kind::host: {
        if (t != "hello") return false;
        std::string key = text_field(j, "key", 300);
        if (key.size() < 16 || key.size() > 256) {
            o->bad_key = true;
            done();
            return true;
        }
        std::string hash = sha256_hex(key);
        store_.bind(p->target, hash, p->source, [self, p, o, hash, done](store::bind_result r) {
            o->bound = r;
            {
                std::lock_guard lock(self->mutex_);
                p->key_hash = hash;
            }
            done();
        });
        return true;
    }
    case peer::kind::join: {
        if (t != "join") return false;
        // The node the socket came to has applied the opening limits already.
        if (p->checked_elsewhere) return done(), true;
        std::string pass = text_field(j, "pass", 256);
        // A lock stops password guesses only: without a password the person at the PC
        // is asked, and a guesser must not be able to cut the PC off from its support.
        auto check_lock = [self, p, o, done, with_pass = !pass.empty()] {
            if (!o->refused.empty() || !with_pass) return done();
            self->store_.locked(p->target, p->source, [o, done](std::optional<double> left) {
                o->locked = left;
                done();
            });
        };
        store_.may_open(p->source, "i:" + p->target, [o, check_lock](std::string why) {
            o->refused = std::move(why);
            check_lock();
        });
        return true;
    }
    case peer::kind::ring: {
        if (t != "ring") return false;
        // A ring names its caller; the caller's own key proves it, else it is only a claim.
        std::string from = text_field(j, "from", 16), key = text_field(j, "key", 300);
        bool provable = valid_id(from) && key.size() >= 16 && key.size() <= 256;
        auto verify = [self, o, done, provable, from, key] {
            if (!o->refused.empty() || !provable) return done();
            self->store_.holds(from, sha256_hex(key), [o, done](store::held h) {
                o->verified = h == store::held::yes;
                done();
            });
        };
        if (p->checked_elsewhere) return verify(), true;
        store_.may_open(p->source, "i:" + p->target, [o, verify](std::string why) {
            o->refused = std::move(why);
            verify();
        });
        return true;
    }
    case peer::kind::call: {
        if (t != "join") return false;
        auto prior = [self, p, o, done, rejoin = bool_field(j, "rejoin")] {
            if (!o->refused.empty() || !rejoin) return done();
            self->store_.room_host(p->target, [o, done](std::string hash) {
                o->prior_host = std::move(hash);
                done();
            });
        };
        if (p->checked_elsewhere) return prior(), true;
        // A call code has its own budget, apart from the ID of the same digits.
        store_.may_open(p->source, "c:" + p->target, [o, prior](std::string why) {
            o->refused = std::move(why);
            prior();
        });
        return true;
    }
    }
    return false;
}

bool shared_state::open_refused(const std::shared_ptr<peer>& p, const opening& o) {
    if (o.refused.empty()) return false;
    refused(o.refused, {{"addr", p->addr}, {"target", p->target}});
    return true;
}

void shared_state::route(const std::shared_ptr<peer>& p, const json& j, const opening& o,
                         outbox& out) {
    const std::string& t = j["t"].get_ref<const std::string&>();
    if (!o.forward_to.empty() && !p->opened) return forward(p, j, o.forward_to, out);
    if (!p->forward_node.empty()) {
        out.after.push_back([this, node = p->forward_node, sock = p->forward_sock, f = dump(j)] {
            cluster_->publish(node, dump({{"k", "frame"}, {"n", cluster_->node()}, {"s", sock}, {"f", f}}),
                              on_lost(node));
        });
        return;
    }
    switch (p->k) {
    case peer::kind::host:
        if (!p->opened && t == "hello") {
            if (o.bad_key) {
                refused("bad key", {{"id", p->target}, {"addr", p->addr}});
                return out.close(p, "bad hello", peer::close_code::policy);
            }
            host_hello(p, j, o.bound, out);
        } else if (p->registered) {
            host_frame(p, t, j, out);
        } else if (!p->opened) {
            out.close(p, "hello expected", peer::close_code::policy);
        }
        break;
    case peer::kind::join:
        join_frame(p, t, j, o, out);
        break;
    case peer::kind::ring:
        ring_frame(p, t, j, o, out);
        break;
    case peer::kind::call:
        call_frame(p, t, j, o, out);
        break;
    }
}

void shared_state::on_close(const std::shared_ptr<peer>& p) {
    outbox out;
    {
        std::lock_guard lock(mutex_);
        if (p->gone) return;
        if (!p->forward_node.empty()) {
            forwarded_.erase(p->forward_sock);
            out.after.push_back([this, node = p->forward_node, sock = p->forward_sock] {
                cluster_->publish(node, dump({{"k", "gone"}, {"n", cluster_->node()}, {"s", sock}}));
            });
        } else {
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
        end_graces(out);
    }
    out.flush();
    store_.touch(online);
    // Claims of this node's IDs and rooms expire unless refreshed: a dead node lets go.
    if (cluster_ && steady::now() - refreshed_ > std::chrono::seconds(cluster::hold_ttl_s / 3)) {
        refreshed_ = steady::now();
        refresh_holds();
    }
    if (cluster_) check_nodes();
}

void shared_state::host_hello(const std::shared_ptr<peer>& p, const json& j,
                              store::bind_result r, outbox& out) {
    const std::string& id = p->target;
    if (r == store::bind_result::error) {
        out.close(p, "storage error");
        return;
    }
    if (r == store::bind_result::taken) {
        refused("taken", {{"id", id}, {"addr", p->addr}});
        out.send(p, {{"t", "taken"}});
        out.close(p, "taken");
        return;
    }
    if (r == store::bind_result::limited) {
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
    if (cluster_) {
        // The newest registration wins across nodes as on one: the node that held the ID
        // tells its socket `replaced`.
        out.after.push_back([this, id] {
            cluster_->claim("kv:h:" + id, [this, id](bool ok, std::string before) {
                if (ok && !before.empty() && before != cluster_->node())
                    cluster_->publish(before, dump({{"k", "replace"}, {"id", id}}));
            });
        });
    }
    log_event("register", {{"id", id},
                           {"addr", p->addr},
                           {"name", p->name},
                           {"ver", ver},
                           {"new", r == store::bind_result::bound ? "yes" : "no"}});
    out.send(p, {{"t", "ready"}});
}

void shared_state::drop_host(const std::shared_ptr<peer>& p, outbox& out) {
    if (!p->registered) return;
    p->registered = false;
    auto it = hosts_.find(p->target);
    if (it != hosts_.end() && it->second == p) {
        hosts_.erase(it);
        if (cluster_) out.after.push_back([this, id = p->target] { cluster_->release("kv:h:" + id); });
    }
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
    if (t == "signal") {
        std::string frame;
        if (auto to = signal_route(*p, text_field(j, "sid", 64), data_text(j), frame))
            out.send(to, std::move(frame));
        return;
    }
    if (t == "bye") {
        std::string sid = text_field(j, "sid", 64);
        if (!p->sids.count(sid)) return;
        auto& r = requests_[sid];
        if (!r.accepted) return;
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
