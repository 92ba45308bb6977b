#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv {

// Everything the operator can set; defaults are safe for a public deployment.
struct config {
    std::string listen_host = "127.0.0.1";
    std::uint16_t listen_port = 8443;
    std::string cert_file;
    std::string key_file;
    std::string data_dir = "signal-data";
    std::string redis_url; // empty: the embedded store, one node
    std::vector<std::string> stun_urls;
    std::vector<std::string> turn_urls;
    std::string turn_secret;
    int turn_ttl_s = 86400;
    int threads = 2;
    bool trust_proxy = false;
    // Peers whose X-Forwarded-For is believed (with trust_proxy); anyone else is taken at
    // its own address, so a direct client cannot pick the source it is counted under.
    std::vector<std::string> proxies = {"127.0.0.1", "::1"};

    std::string metrics_host; // empty: no metrics listener
    std::uint16_t metrics_port = 0;

    double handshake_timeout_s = 5;
    double hello_timeout_s = 10;
    double idle_timeout_s = 60;
    double request_timeout_s = 60;
    // The technician's page waits this much past the announced timeout before giving up,
    // so a host that accepts in those seconds must still be put through.
    double request_grace_s = 3;
    double ring_timeout_s = 45;

    int lock_per_id = 5;
    int lock_per_addr = 10;
    double lock_window_s = 600;
    double lock_duration_s = 900;

    std::size_t max_frame = 64 * 1024;
    double msg_rate = 50;
    double msg_burst = 200;
    std::size_t max_queue = 512;
    std::size_t max_queue_bytes = 1024 * 1024;
    // One source's sockets together: four addresses must not be able to fill the process's
    // budget (64 sockets × 1 MiB each would), so a source gets a small share of it.
    std::size_t max_queued_per_source = 8 * 1024 * 1024;
    std::size_t max_queued_total = 256 * 1024 * 1024;
    int max_conn = 20000;
    int max_conn_per_addr = 64;
    int max_pending_per_host = 4;
    int max_pending_per_source = 8;

    // Opening frames (join, ring, call join) per minute: per source, per (source, target)
    // pair, and a ceiling per target. The tight limit is the pair's, so one source cannot
    // spend a PC's budget; the target's ceiling is wide enough that no single source can
    // reach it alone.
    double open_per_source = 30, open_burst_source = 20;
    double open_per_pair = 12, open_burst_pair = 12;
    double open_per_target = 120, open_burst_target = 60;

    double id_expiry_days = 180; // 0: bindings never expire
    int binds_per_hour = 10;     // new bindings per source

    double shutdown_grace_s = 3;

    std::string revoke_id; // --revoke: remove this binding and exit

    bool tls() const { return !cert_file.empty(); }
    bool turn() const { return !turn_urls.empty() && !turn_secret.empty(); }
};

// Parses the command line (and the files named by --config). On failure or for
// --help/--version returns nothing after printing to stdout/stderr; `exit_code` says how
// the process should end.
std::optional<config> parse_config(int argc, char** argv, int& exit_code);

} // namespace kv
