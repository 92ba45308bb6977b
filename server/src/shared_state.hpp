#pragma once

#include "config.hpp"
#include "limits.hpp"
#include "peer.hpp"
#include "store.hpp"
#include "wire.hpp"

#include <map>
#include <memory>
#include <mutex>
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
    shared_state(const config& cfg, id_store& store);

    // One text frame from `p`.
    void on_frame(const std::shared_ptr<peer>& p, std::string_view text);
    // `p` is gone; tells whoever was linked to it.
    void on_close(const std::shared_ptr<peer>& p);
    // Expires requests and rings whose deadline passed; called a few times a second.
    void tick();

    std::string health_json() const;
    std::string ice_json() const;
    const config& cfg() const { return cfg_; }

private:
    struct outbox {
        struct item {
            std::shared_ptr<peer> to;
            std::shared_ptr<const std::string> frame;
            std::string close;
            bool policy = false;
        };
        std::vector<item> items;
        void send(const std::shared_ptr<peer>& to, const json& msg);
        void close(const std::shared_ptr<peer>& to, std::string why, bool policy = false);
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
    };
    struct room {
        std::vector<member> members; // in order of arrival; the first becomes host
        std::string host;
    };

    json ice_servers(std::string_view tag) const;
    steady::time_point after(double seconds) const;

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
                    outbox& out);
    void callee_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                      outbox& out);
    void end_ring(std::string cid, outbox& out);
    void drop_caller(const std::shared_ptr<peer>& p, outbox& out);

    void call_frame(const std::shared_ptr<peer>& p, const std::string& t, const json& j,
                    outbox& out);
    void leave_room(const std::shared_ptr<peer>& p, outbox& out);

    const config& cfg_;
    id_store& store_;
    std::mutex mutex_;
    lockout lockout_;
    std::unordered_map<std::string, std::shared_ptr<peer>> hosts_;
    std::unordered_map<std::string, request> requests_;
    std::unordered_map<std::string, ring> rings_;
    std::unordered_map<std::string, room> rooms_;
};

} // namespace kv
