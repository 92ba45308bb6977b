// Several nodes as one server: a socket whose ID or room is held by another node becomes a
// relay to it, and that node serves it through a stand-in, so every rule runs where the
// target lives, exactly as on a single node. Messages between two nodes travel through
// Redis pub/sub on one connection each way, which keeps them in order.
#include "cluster.hpp"
#include "crypto.hpp"
#include "log.hpp"
#include "shared_state.hpp"

namespace kv {
namespace {

// Stand-ins for sockets on other nodes, at most: a node that dies leaves its stand-ins
// behind until their peers go, and a lying Redis must not grow this table forever.
constexpr std::size_t max_remote = 200000;

// A frame carried inside a message: never cut (a cut frame is a different frame), just
// refused when it is larger than any frame a node sends.
std::optional<std::string> carried(const json& m, std::size_t max) {
    auto it = m.find("f");
    if (it == m.end() || !it->is_string() || it->get_ref<const std::string&>().size() > max)
        return std::nullopt;
    return it->get<std::string>();
}

bool valid_sock(const std::string& s) {
    if (s.size() != 16) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// A socket on another node as the routing tables here see it: what is sent to it or
// closes it travels back to that node.
class remote_peer final : public peer {
public:
    // `lost` runs when something sent to the socket may not have arrived.
    remote_peer(cluster& c, std::string node, std::string sock, kind k, std::string target,
                std::string addr, std::string source, std::function<void()> lost)
        : peer(k, std::move(target), std::move(addr), std::move(source)), c_(c),
          node_(std::move(node)), sock_(std::move(sock)), lost_(std::move(lost)) {
        checked_elsewhere = true;
    }

    void send(std::shared_ptr<const std::string> frame) override {
        c_.publish(node_, dump({{"k", "send"}, {"s", sock_}, {"f", *frame}}), lost_);
    }
    void close(std::string reason, close_code code) override {
        c_.publish(
            node_,
            dump(
                {{"k", "close"}, {"s", sock_}, {"why", reason}, {"code", static_cast<int>(code)}}));
    }

private:
    cluster& c_;
    std::string node_, sock_;
    std::function<void()> lost_;
};

// How often the nodes this one has links with are checked for life, and how long after
// Redis came back the others are given to listen again before the check resumes.
constexpr auto nodes_check_every = std::chrono::seconds(2);
constexpr auto nodes_check_grace = std::chrono::seconds(5);
constexpr std::size_t max_nodes_checked = 1000;

std::optional<peer::kind> kind_of(const std::string& k) {
    if (k == "join") return peer::kind::join;
    if (k == "ring") return peer::kind::ring;
    if (k == "call") return peer::kind::call;
    return std::nullopt;
}

const char* name_of(peer::kind k) {
    switch (k) {
    case peer::kind::join:
        return "join";
    case peer::kind::ring:
        return "ring";
    case peer::kind::call:
        return "call";
    default:
        return "host";
    }
}

} // namespace

void shared_state::locate(const std::shared_ptr<peer>& p, const json& j, std::shared_ptr<opening> o,
                          std::function<void()> done) {
    if (!cluster_ || p->checked_elsewhere || p->k == peer::kind::host || !o->refused.empty() ||
        o->locked || o->bad_key)
        return done();
    auto self = shared_from_this();
    // Held here or elsewhere is read under the lock, and `done` runs after it: it takes
    // the lock itself.
    auto held_here = [this](const auto& table, const std::string& key) {
        std::lock_guard lock(mutex_);
        return table.count(key) != 0;
    };
    if (p->k != peer::kind::call) {
        if (held_here(hosts_, p->target)) return done();
        return cluster_->owner("kv:h:" + p->target, [self, o, done](bool ok, std::string node) {
            if (ok && !node.empty() && node != self->cluster_->node()) o->forward_to = node;
            done();
        });
    }
    if (held_here(rooms_, p->target)) return done();
    // A room made here without Redis' word, or by a node that cannot hear the others, would
    // be a second room of the same code: refused as when the store is away.
    auto unheard = [o, done] {
        o->refused = store::unavailable;
        done();
    };
    if (!cluster_->up()) return unheard();
    bool may_create = bool_field(j, "create") || bool_field(j, "rejoin");
    std::string key = "kv:r:" + p->target;
    cluster_->owner(key, [self, o, done, unheard, may_create, key](bool ok, std::string node) {
        if (!ok) return unheard();
        if (!node.empty()) {
            if (node != self->cluster_->node()) o->forward_to = node;
            return done();
        }
        if (!may_create) return done();
        // Two nodes creating one room at once: the first claim wins, the other relays.
        self->cluster_->claim_free(key, [self, o, done, unheard](bool ok2, std::string holder) {
            if (!ok2) return unheard();
            if (!holder.empty() && holder != self->cluster_->node()) o->forward_to = holder;
            done();
        });
    });
}

void shared_state::forward(const std::shared_ptr<peer>& p, const json& j, const std::string& node,
                           outbox& out) {
    p->opened = true;
    p->forward_node = node;
    p->forward_sock = random_hex(8);
    forwarded_[p->forward_sock] = p;
    log_event("relay", {{"target", p->target}, {"addr", p->addr}, {"node", node}});
    out.after.push_back([this, node, lost = on_lost(node),
                         msg = dump({{"k", "open"},
                                     {"n", cluster_->node()},
                                     {"s", p->forward_sock},
                                     {"kind", name_of(p->k)},
                                     {"target", p->target},
                                     {"addr", p->addr},
                                     {"source", p->source},
                                     {"f", dump(j)}})] { cluster_->publish(node, msg, lost); });
}

std::function<void()> shared_state::on_lost(const std::string& node) {
    return [weak = weak_from_this(), node] {
        if (auto self = weak.lock()) self->end_links(node);
    };
}

void shared_state::end_links(const std::string& node) {
    std::vector<std::shared_ptr<peer>> relayed, stand_ins;
    {
        std::lock_guard lock(mutex_);
        for (auto it = forwarded_.begin(); it != forwarded_.end();) {
            auto p = it->second.lock();
            if (p && !node.empty() && p->forward_node != node) {
                ++it;
                continue;
            }
            if (p) relayed.push_back(std::move(p));
            it = forwarded_.erase(it);
        }
        for (auto it = remote_peers_.begin(); it != remote_peers_.end();) {
            if (!node.empty() && it->first.compare(0, node.size() + 1, node + "/") != 0) {
                ++it;
                continue;
            }
            it->second->link_lost = true;
            stand_ins.push_back(std::move(it->second));
            it = remote_peers_.erase(it);
        }
    }
    if (relayed.empty() && stand_ins.empty()) return;
    log_event("links-ended", {{"node", node.empty() ? "every" : node},
                              {"relayed", std::to_string(relayed.size())},
                              {"stand_ins", std::to_string(stand_ins.size())}});
    // What this node relayed there is told as a restart of its server: the page goes on
    // peer to peer where it is connected, and a call member rejoins its room.
    for (auto& p : relayed)
        p->close("server going away", peer::close_code::going_away);
    // The sockets there are gone for the routing here, as if their clients had left.
    for (auto& p : stand_ins)
        on_close(p);
}

void shared_state::check_nodes() {
    std::set<std::string> nodes;
    {
        std::lock_guard lock(mutex_);
        auto now = steady::now();
        if (!cluster_up_ || now - nodes_checked_ < nodes_check_every ||
            now - cluster_up_at_ < nodes_check_grace)
            return;
        nodes_checked_ = now;
        for (auto& [sock, weak] : forwarded_)
            if (auto p = weak.lock(); p && nodes.size() < max_nodes_checked)
                nodes.insert(p->forward_node);
        for (auto& [key, p] : remote_peers_)
            if (nodes.size() < max_nodes_checked) nodes.insert(key.substr(0, key.find('/')));
    }
    if (nodes.empty()) return;
    cluster_->gone({nodes.begin(), nodes.end()},
                   [weak = weak_from_this()](std::vector<std::string> gone) {
                       auto self = weak.lock();
                       if (!self) return;
                       for (auto& n : gone) {
                           log_event("node-gone", {{"node", n}});
                           self->end_links(n);
                       }
                   });
}

void shared_state::on_cluster_message(std::string_view text) {
    // Frames travel inside as text: bounded like a client's, parsed like a client's.
    if (text.size() > cfg_.max_frame * 2 + 4096) return;
    auto m = json::parse(text, nullptr, false);
    if (!m.is_object()) return;
    std::string k = text_field(m, "k", 16), sock = text_field(m, "s", 32);
    if (k == "send" || k == "close") {
        std::shared_ptr<peer> p;
        {
            std::lock_guard lock(mutex_);
            auto it = forwarded_.find(sock);
            if (it != forwarded_.end()) p = it->second.lock();
        }
        if (!p) return;
        if (k == "send") {
            if (auto f = carried(m, cfg_.max_frame * 2))
                p->send(std::make_shared<const std::string>(std::move(*f)));
        } else {
            int code =
                m.contains("code") && m["code"].is_number_integer() ? m["code"].get<int>() : 0;
            p->close(text_field(m, "why", 64), code == 1   ? peer::close_code::policy
                                               : code == 2 ? peer::close_code::going_away
                                                           : peer::close_code::normal);
        }
        return;
    }
    if (k == "replace") {
        std::string id = text_field(m, "id", 16);
        outbox out;
        {
            std::lock_guard lock(mutex_);
            auto it = hosts_.find(id);
            if (it == hosts_.end()) return;
            auto old = it->second;
            drop_host(old, out);
            log_event("replaced", {{"id", id}, {"addr", old->addr}, {"by", "another node"}});
            out.send(old, {{"t", "replaced"}});
            out.close(old, "replaced");
        }
        out.flush();
        return;
    }
    std::string node = text_field(m, "n", 32);
    if (!valid_sock(sock) || node.size() != 16) return;
    std::string key = node + "/" + sock;
    if (k == "gone") {
        std::shared_ptr<peer> p;
        {
            std::lock_guard lock(mutex_);
            auto it = remote_peers_.find(key);
            if (it == remote_peers_.end()) return;
            p = it->second;
            remote_peers_.erase(it);
        }
        return on_close(p);
    }
    auto f = carried(m, cfg_.max_frame * 2);
    if (!f) return;
    auto frame = parse_frame(*f);
    if (!frame) return;
    std::shared_ptr<peer> p;
    if (k == "open") {
        auto kind = kind_of(text_field(m, "kind", 8));
        std::string target = text_field(m, "target", 16);
        if (!kind || !(*kind == peer::kind::call ? valid_code(target) : valid_id(target))) return;
        std::lock_guard lock(mutex_);
        if (remote_peers_.size() >= max_remote || remote_peers_.count(key)) return;
        p = std::make_shared<remote_peer>(*cluster_, node, sock, *kind, target,
                                          text_field(m, "addr", 64), text_field(m, "source", 80),
                                          on_lost(node));
        remote_peers_[key] = p;
    } else if (k == "frame") {
        std::lock_guard lock(mutex_);
        auto it = remote_peers_.find(key);
        if (it == remote_peers_.end()) return;
        p = it->second;
    } else {
        return;
    }
    if ((*frame)["t"] != "ping") accept(p, std::move(*frame));
}

void shared_state::on_cluster_state(bool up) {
    {
        std::lock_guard lock(mutex_);
        if (up == cluster_up_) return;
        cluster_up_ = up;
        if (up) cluster_up_at_ = steady::now();
    }
    log_event(up ? "cluster-up" : "cluster-down", {});
    if (up) return refresh_holds();
    // Whatever was on its way between nodes may be lost, and nothing more can pass: every
    // link with another node ends now, where both ends can still say so.
    end_links("");
}

void shared_state::refresh_holds() {
    std::vector<std::string> keys;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, p] : hosts_)
            keys.push_back("kv:h:" + id);
        for (auto& [code, rm] : rooms_)
            keys.push_back("kv:r:" + code);
    }
    if (keys.empty()) return;
    auto self = shared_from_this();
    cluster_->refresh(keys, [self](std::vector<std::string> lost) {
        // Another node registered the ID while this one was cut off: its PC is the newer.
        // A room another node took meanwhile is the room from now on.
        for (auto& key : lost) {
            if (key.rfind("kv:h:", 0) == 0)
                self->on_cluster_message(dump({{"k", "replace"}, {"id", key.substr(5)}}));
            else if (key.rfind("kv:r:", 0) == 0)
                self->room_moved(key.substr(5));
        }
    });
}

} // namespace kv
