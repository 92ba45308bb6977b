#pragma once

#include "config.hpp"
#include "limits.hpp"
#include "log.hpp"
#include "peer.hpp"
#include "store.hpp"
#include "wire.hpp"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kv {

// The routing tables: registered hosts, support requests, rings and call rooms. Every
// change happens under one lock; frames to send are collected in an outbox and handed
// to the sockets after the lock is released.
class shared_state {
public:
    shared_state(const config& cfg, id_store& store, conn_limit& conns);

    // One text frame from `p`.
    void on_frame(const std::shared_ptr<peer>& p, std::string_view text);
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

    // Bytes queued to all sockets together; the transport keeps it up to date.
    std::atomic<std::size_t> queued_bytes{0};

    // `ok` says whether the store and, when configured, TURN are usable.
    std::string health_json(bool& ok);
    std::string ice_json() const;
    std::string metrics_text();
    const config& cfg() const { return cfg_; }

private:
    struct outbox {
        struct item {
            std::shared_ptr<peer> to;
            std::shared_ptr<const std::string> frame;
            std::string close;
            peer::close_code code = peer::close_code::normal;
        };
        std::vector<item> items;
        void send(const std::shared_ptr<peer>& to, const json& msg);
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
        bool talk = false, muted = false;
    };
    struct room {
        std::vector<member> members; // in order of arrival; the first becomes host
        std::string host;
        std::set<std::string> banned; // sources of kicked members
    };

    json ice_servers(std::string_view tag) const;
    steady::time_point after(double seconds) const;
    // The opening-frame limits of a join, ring or call join from `p`.
    bool may_open(const std::shared_ptr<peer>& p);
    // Requests and rings that wait for an answer, counted by the source that opened them.
    bool may_wait(const std::shared_ptr<peer>& p) const;
    void waiting(const std::shared_ptr<peer>& p, int delta);

    // Each handler runs under the lock.
    void host_hello(const std::shared_ptr<peer>& p, const json& j, id_store::bind_result r,
                    outbox& out);
    void host_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                    outbox& out);
    void drop_host(const std::shared_ptr<peer>& p, outbox& out);

    void join_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                    outbox& out);
    void host_answer(const std::shared_ptr<peer>& p, const json& j, outbox& out);
    void end_request(std::string sid, outbox& out);
    void drop_tech(const std::shared_ptr<peer>& p, outbox& out);

    void ring_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                    bool verified, outbox& out);
    void callee_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                      outbox& out);
    void end_ring(std::string cid, outbox& out);
    void drop_caller(const std::shared_ptr<peer>& p, outbox& out);

    void call_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                    outbox& out);
    void leave_room(const std::shared_ptr<peer>& p, outbox& out);

    const config& cfg_;
    id_store& store_;
    conn_limit& conns_;
    std::mutex mutex_;
    lockout lockout_;
    rate_limit open_source_, open_pair_, open_target_, binds_;
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
};

} // namespace kv
