#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kv {

// One WebSocket as the routing tables see it. The transport implements send and close;
// both may be called from any thread and return at once.
class peer {
public:
    enum class kind { host, join, ring, call };
    // normal 1000; policy 1008 (the client broke a rule); going_away 1001, which the page
    // takes as "the server restarts: reconnect after a random wait".
    enum class close_code { normal, policy, going_away };

    peer(kind k, std::string target, std::string addr, std::string source)
        : k(k), target(std::move(target)), addr(std::move(addr)), source(std::move(source)) {}
    virtual ~peer() = default;

    // Queues one text frame.
    virtual void send(std::shared_ptr<const std::string> frame) = 0;
    // Closes after the frames already queued.
    virtual void close(std::string reason, close_code code) = 0;

    const kind k;
    const std::string target; // the ID of /host/, /join/ and /ring/, the code of /call/
    const std::string addr;   // the client's address, for the log
    const std::string source; // the key its limits are counted under (see source_key)

    // Set once the socket's opening frame (hello, join or ring) has been accepted; the
    // transport closes sockets that stay unopened past the hello timeout.
    std::atomic<bool> opened{false};

    // Routing state, touched only under shared_state's lock.
    bool gone = false;
    bool registered = false;    // host: holds the ID in the table
    std::string name;           // the name the peer gave
    std::string link;           // join: sid; ring: cid; call: member id
    std::set<std::string> sids; // host: support requests addressed to it
    std::set<std::string> cids; // host: rings addressed to it
    std::string key_hash;       // host: SHA-256 of the key it registered with
    // While the store is asked about one frame, the frames behind it wait here, so that
    // a socket's frames are handled in the order they came.
    bool busy = false;
    std::deque<nlohmann::json> held;
    // With several nodes: a socket whose target lives on another node is a relay to it;
    // a stand-in for a socket on another node arrives with its opening limits applied.
    std::string forward_node, forward_sock;
    bool checked_elsewhere = false;
    // A stand-in whose node was lost (dead, or cut off from Redis): its client was told
    // "server going away" there and comes back as after a restart.
    bool link_lost = false;
};

} // namespace kv
