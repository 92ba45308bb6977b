#pragma once

#include "config.hpp"
#include "limits.hpp"
#include "log.hpp"
#include "peer.hpp"
#include "store.hpp"
#include "wire.hpp"

#include <atomic>
#include <functional>
#include <optional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kv {

class cluster;

// The routing tables: registered hosts, support requests, rings and call rooms. Every
// change happens under one lock; frames to send are collected in an outbox and handed
// to the sockets after the lock is released.
class shared_state : public std::enable_shared_from_this<shared_state> {
public:
    shared_state(const config& cfg, store& st, conn_limit& conns);

    // One text frame from `p`.
    void on_frame(const std::shared_ptr<peer>& p, std::string_view text);

    // With several nodes: IDs and rooms held elsewhere are reached through `c`.
    void set_cluster(cluster* c) { cluster_ = c; }
    // A message another node sent to this one.
    void on_cluster_message(std::string_view text);
    // Redis lost or back: back, this node's IDs and rooms are claimed again.
    void on_cluster_state(bool up);
    // `p` is gone; tells whoever was linked to it.
    void on_close(const std::shared_ptr<peer>& p);
    // Expires requests and rings whose deadline passed; called a few times a second.
    void tick();

    // Every open WebSocket, so that a shutdown can say goodbye to each.
    void attach(const std::shared_ptr<peer>& p);
    void detach(const peer* p);
    // Closes every socket with "server going away" and refuses new ones; returns how many
    // were open.
    std::size_t shut_down();
    std::size_t sockets() const;
    bool stopping() const { return stopping_; }
    // After the database changed under us (--revoke): hosts whose binding is gone leave.
    void recheck_bindings();

    // Logs a refusal and counts it by `why` for the metrics.
    void refused(std::string_view why, std::initializer_list<log_field> fields = {});

    // Bytes queued to slow readers; the transport counts every frame it queues in it.
    queue_budget queues;

    // `ok` says whether the store and, when configured, TURN are usable.
    std::string health_json(bool& ok);
    std::string ice_json() const;
    std::string metrics_text();
    const config& cfg() const { return cfg_; }

private:
    struct outbox {
        // Work for after the lock: store writes, and frames that depend on a store answer.
        std::vector<std::function<void()>> after;
        struct item {
            std::shared_ptr<peer> to;
            std::shared_ptr<const std::string> frame;
            std::string close;
            peer::close_code code = peer::close_code::normal;
        };
        std::vector<item> items;
        void send(const std::shared_ptr<peer>& to, const json& msg);
        void send(const std::shared_ptr<peer>& to, std::string frame);
        void close(const std::shared_ptr<peer>& to, std::string why,
                   peer::close_code code = peer::close_code::normal);
        void flush();
    };

    struct request {
        std::string id;
        std::shared_ptr<peer> tech, host;
        bool accepted = false;
        steady::time_point deadline;
    };
    struct ring {
        std::string id;
        std::shared_ptr<peer> caller, callee;
        bool answered = false;
        steady::time_point deadline;
    };
    struct member {
        std::string id, name;
        std::shared_ptr<peer> p;
        std::string token_hash; // SHA-256 of its rejoin token
        bool talk = false, muted = false;
    };
    struct room {
        std::vector<member> members; // in order of arrival; the first becomes host
        std::string host;
        // After a restart, the host before it gets the room back if they return within
        // the grace; until then nobody may kick.
        std::string prior_host;
        steady::time_point grace_until{};
        std::set<std::string> banned_tokens;                   // SHA-256 of kicked members' tokens
        std::map<std::string, steady::time_point> banned_names; // source + name, until
    };
    // What the store said about a socket's opening frame, asked before the lock is taken.
    struct opening {
        store::bind_result bound = store::bind_result::error;
        bool bad_key = false;
        bool verified = false;       // ring: `from` proved by its key
        std::string refused;         // the opening limit that refused, if any
        std::optional<double> locked; // seconds left on a password lock
        std::string prior_host;      // call: the host's token hash from before a restart
        std::string forward_to;      // the node that holds the target, when not this one
    };

    json ice_servers(std::string_view tag) const;
    steady::time_point after(double seconds) const;
    // A parsed frame from a local socket or from a stand-in for a socket elsewhere.
    void accept(const std::shared_ptr<peer>& p, json j);
    // Frames of one socket, in order; `p->busy` is held by the caller.
    void run(const std::shared_ptr<peer>& p, json j);
    // Whether `j` must wait for the store; if so asks it and comes back through finish().
    bool ask_store(const std::shared_ptr<peer>& p, const json& j);
    void finish(const std::shared_ptr<peer>& p, json j, opening o);
    void route(const std::shared_ptr<peer>& p, const json& j, const opening& o, outbox& out);
    // Finds the node that holds the target of an opening frame, then runs `done`.
    void locate(const std::shared_ptr<peer>& p, const json& j, std::shared_ptr<opening> o,
                std::function<void()> done);
    // Relays `p`'s frames to the node that holds its target from now on.
    void forward(const std::shared_ptr<peer>& p, const json& j, const std::string& node,
                 outbox& out);
    // Keeps this node's IDs and rooms claimed; those another node took are let go.
    void refresh_holds();
    // Ends every link with `node` (with every other node when empty). check_nodes() does
    // so for the linked nodes found gone, and on_lost(node) when a message went nowhere.
    void end_links(const std::string& node);
    void check_nodes();
    std::function<void()> on_lost(const std::string& node);
    // Logs and answers a refused opening limit; true when it refused.
    bool open_refused(const std::shared_ptr<peer>& p, const opening& o);
    // Requests and rings that wait for an answer, counted by the source that opened them.
    bool may_wait(const std::shared_ptr<peer>& p) const;
    void waiting(const std::shared_ptr<peer>& p, int delta);

    // Each handler runs under the lock.
    void host_hello(const std::shared_ptr<peer>& p, const json& j, store::bind_result r,
                    outbox& out);
    void host_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                    outbox& out);
    void drop_host(const std::shared_ptr<peer>& p, outbox& out);

    // A signal of a linked support session passed on as the text it came in, without
    // parsing and re-serialising its data; false leaves the frame to the parser's path.
    bool relay_signal(const std::shared_ptr<peer>& p, std::string_view text);
    // Where a signal of support session `sid` from `p` goes, with `frame` made to carry
    // `data` (its JSON text) there; null when it goes nowhere. Both paths take it from here.
    std::shared_ptr<peer> signal_route(const peer& p, const std::string& sid, std::string_view data,
                                       std::string& frame);
    void join_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                    const opening& o, outbox& out);
    void host_answer(const std::shared_ptr<peer>& p, const json& j, outbox& out);
    void end_request(std::string sid, outbox& out);
    void drop_tech(const std::shared_ptr<peer>& p, outbox& out);

    void ring_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                    const opening& o, outbox& out);
    void callee_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                      outbox& out);
    void end_ring(std::string cid, outbox& out);
    void drop_caller(const std::shared_ptr<peer>& p, outbox& out);

    void call_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                    const opening& o, outbox& out);
    void leave_room(const std::shared_ptr<peer>& p, outbox& out);
    // Names `mid` host of `code`'s room and keeps its token for a restart.
    void make_host(const std::string& code, room& rm, const std::string& mid,
                   const std::string& token_hash, outbox& out);
    // Another node holds `code`'s room now (this one was cut off from Redis meanwhile):
    // the members here are sent to rejoin there, so that the room is one again.
    void room_moved(const std::string& code);
    // Rooms whose host-after-restart grace is running, swept by tick().
    void end_graces(outbox& out);

    const config& cfg_;
    store& store_;
    conn_limit& conns_;
    std::mutex mutex_;
    std::unordered_map<std::string, int> waiting_; // by source
    steady::time_point touched_ = steady::now();

    mutable std::mutex sockets_mutex_;
    std::unordered_map<const peer*, std::weak_ptr<peer>> sockets_;
    std::atomic<bool> stopping_{false};

    std::mutex refusals_mutex_;
    std::map<std::string, std::uint64_t, std::less<>> refusals_;
    std::unordered_map<std::string, std::shared_ptr<peer>> hosts_;
    std::unordered_map<std::string, request> requests_;
    std::unordered_map<std::string, ring> rings_;
    std::unordered_map<std::string, room> rooms_;
    std::set<std::string> graced_;

    cluster* cluster_ = nullptr;
    steady::time_point refreshed_ = steady::now();
    bool cluster_up_ = false;
    steady::time_point cluster_up_at_{}, nodes_checked_{};
    // Stand-ins for sockets on other nodes, by node and socket; local sockets relayed to
    // another node, by socket.
    std::unordered_map<std::string, std::shared_ptr<peer>> remote_peers_;
    std::unordered_map<std::string, std::weak_ptr<peer>> forwarded_;
};

} // namespace kv
