#include "config.hpp"

#include "wire.hpp"

#include <boost/asio/ip/address.hpp>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

namespace kv {
namespace {

const char* usage_text = R"(Usage: kelvora-signal [OPTIONS]

Signalling server of Kelvora: registers PCs by their support ID and introduces them to
each other for support sessions, phone calls and group calls.

Network
  --listen ADDR:PORT        address to bind (default 127.0.0.1:8443; [::]:443 for IPv6;
                            port 0 picks a free one, printed in the "listening" log line)
  --cert FILE               certificate chain (PEM); with --key serves HTTPS/WSS.
                            Without it plain HTTP/WS is served, for use behind a reverse
                            proxy that terminates TLS
  --key FILE                private key (PEM) of --cert
  --trust-proxy             take the client address from X-Forwarded-For (last hop);
                            only behind a proxy that sets it
  --proxy ADDR              an address whose X-Forwarded-For is believed with
                            --trust-proxy (repeatable; default 127.0.0.1 and ::1)
  --threads N               I/O threads (default: number of CPUs, at most 8)
  --metrics ADDR:PORT       serve Prometheus metrics (GET /metrics, plain HTTP) on a
                            loopback address, e.g. 127.0.0.1:9464 (default: off)

Storage
  --data DIR                directory of the ID database (default ./signal-data)
  --id-expiry DAYS          an ID whose PC has not registered for DAYS is free again
                            (default 180; 0 keeps bindings forever)
  --binds-per-hour N        new IDs one source may bind per hour (default 10)
  --revoke ID               remove the binding of ID from the database of --data and
                            exit; the ID is free for the next PC that registers it
  --redis URL               keep everything shared in Redis (redis://HOST:PORT[/DB],
                            optionally redis://:PASSWORD@HOST:PORT), so that several
                            nodes behind a load balancer act as one server

ICE servers handed to clients (GET /ice and every introduction)
  --stun URL                a STUN server, e.g. stun:stun.example.org:3478 (repeatable)
  --turn-url URL            a TURN server, e.g. turn:turn.example.org:3478?transport=udp
                            (repeatable)
  --turn-secret SECRET      the static-auth-secret of coturn's use-auth-secret mode
  --turn-secret-file FILE   read the secret from FILE (keeps it out of the process list)
  --turn-ttl SECONDS        lifetime of TURN credentials (default 86400)

Timers (seconds, fractions allowed)
  --handshake-timeout S     TLS handshake and each HTTP request must complete within S
                            (default 5)
  --hello-timeout S         first frame of a socket must come within S (default 10)
  --idle-timeout S          a socket silent for S is closed (default 60)
  --request-timeout S       a support request the host never answers is denied
                            "timeout" after S plus the grace; S is also the "waiting"
                            timeout shown to the technician (default 60)
  --request-grace S         how long past S a late acceptance still goes through; the
                            technician's page waits 3 s more than it is told (default 3)
  --ring-timeout S          an unanswered ring ends after S (default 45)
  --shutdown-grace S        on SIGTERM, how long clients get to complete the close
                            handshake before the process ends (default 3)

Password guessing lockout
  --lock-per-id N           wrong passwords for one ID that lock password attempts on
                            it (default 5); joins without a password still reach the PC
  --lock-per-addr N         wrong passwords from one source that lock its password
                            attempts (default 10)
  --lock-window S           failures older than S are forgotten (default 600)
  --lock-duration S         how long a lock lasts (default 900)

Abuse limits
  --max-frame BYTES         largest accepted frame (default 65536)
  --msg-rate N              sustained frames per second per socket (default 50)
  --msg-burst N             frames a socket may send at once (default 200)
  --max-queue N             frames queued to a slow socket before it is dropped (512)
  --max-queue-bytes BYTES   bytes queued to a slow socket before it is dropped
                            (default 1048576)
  --max-queued-per-source BYTES
                            bytes queued to all sockets of one source; past it, that
                            source's largest queues are dropped (default 8388608)
  --max-queued-total BYTES  bytes queued to all sockets together; past it, the largest
                            queues are dropped (default 268435456)
  --max-conn N              connections in total (default 20000)
  --max-conn-per-addr N     connections from one source (default 64)
  --max-pending N           support requests waiting on one host (default 4)
  --max-pending-per-source N  requests and rings waiting from one source (default 8)
  --open-rate N, --open-burst N
                            joins, rings and call joins per minute from one source
                            (default 30, at once 20)
  --pair-rate N, --pair-burst N
                            joins and rings per minute from one source to one ID
                            or code (default 12, at once 12)
  --target-rate N, --target-burst N
                            joins and rings per minute to one ID, call joins per
                            minute to one code, from all sources together
                            (default 120, at once 60)

A source is an IPv4 address or an IPv6 /64.

Other
  --config FILE             read more options from FILE: one "option value" or
                            "option = value" per line, without the leading dashes;
                            '#' starts a comment. Repeatable options add up.
  --version                 print the version and exit
  --help                    print this text and exit
)";

struct parser {
    config c;
    std::string error;
    int depth = 0;
    bool proxies_given = false; // the first --proxy replaces the loopback default

    bool num(const std::string& v, double& out) {
        try {
            std::size_t pos = 0;
            double d = std::stod(v, &pos);
            if (pos != v.size() || !(d >= 0) || d > 1e9) return false;
            out = d;
            return true;
        } catch (...) {
            return false;
        }
    }
    template <class T> bool integer(const std::string& v, T& out, long long lo, long long hi) {
        long long n = 0;
        auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
        if (ec != std::errc{} || p != v.data() + v.size() || n < lo || n > hi) return false;
        out = static_cast<T>(n);
        return true;
    }

    bool endpoint(const std::string& v, std::string& host, std::uint16_t& port) {
        auto colon = v.rfind(':');
        if (colon == std::string::npos || colon == 0) return false;
        std::string h = v.substr(0, colon);
        if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
        if (!integer(v.substr(colon + 1), port, 0, 65535)) return false;
        host = h;
        return true;
    }

    // Metrics tell an attacker how close each limit is: they stay on loopback.
    bool metrics(const std::string& v) {
        if (!endpoint(v, c.metrics_host, c.metrics_port)) return false;
        boost::system::error_code ec;
        auto a = boost::asio::ip::make_address(c.metrics_host, ec);
        return !ec && a.is_loopback();
    }

    bool read_file(const std::string& path, std::string& out) {
        std::ifstream f(path, std::ios::binary);
        if (!f) return false;
        std::getline(f, out);
        while (!out.empty() && (out.back() == '\r' || out.back() == ' '))
            out.pop_back();
        return !out.empty();
    }

    // Applies one option; `name` without dashes.
    bool apply(const std::string& name, const std::string& v) {
        auto fail = [&](const char* why) {
            error = "--" + name + ": " + why;
            return false;
        };
        double d = 0;
        auto seconds = [&](double& out) {
            if (!num(v, d)) return fail("expects a number of seconds");
            out = d;
            return true;
        };
        auto count = [&](auto& out, long long lo, long long hi) {
            if (!integer(v, out, lo, hi)) return fail("expects a whole number in range");
            return true;
        };
        auto per_minute = [&](double& out) {
            if (!num(v, d) || d <= 0) return fail("expects a number above 0");
            out = d;
            return true;
        };
        if (name == "listen")
            return endpoint(v, c.listen_host, c.listen_port) || fail("expects ADDR:PORT");
        if (name == "metrics") return metrics(v) || fail("expects a loopback ADDR:PORT");
        if (name == "cert") return c.cert_file = v, true;
        if (name == "key") return c.key_file = v, true;
        if (name == "data") return c.data_dir = v, true;
        if (name == "redis") return c.redis_url = v, true;
        if (name == "stun") return c.stun_urls.push_back(v), true;
        if (name == "proxy") {
            boost::system::error_code ec;
            auto a = boost::asio::ip::make_address(v, ec);
            if (ec) return fail("expects an IP address");
            if (!proxies_given) c.proxies.clear();
            proxies_given = true;
            c.proxies.push_back(a.to_string());
            return true;
        }
        if (name == "turn-url") return c.turn_urls.push_back(v), true;
        if (name == "turn-secret") return c.turn_secret = v, true;
        if (name == "turn-secret-file")
            return read_file(v, c.turn_secret) || fail("cannot read a secret from the file");
        if (name == "turn-ttl") return count(c.turn_ttl_s, 60, 30 * 86400);
        if (name == "threads") return count(c.threads, 1, 64);
        if (name == "handshake-timeout") return seconds(c.handshake_timeout_s);
        if (name == "hello-timeout") return seconds(c.hello_timeout_s);
        if (name == "request-grace") return seconds(c.request_grace_s);
        if (name == "shutdown-grace") return seconds(c.shutdown_grace_s);
        if (name == "idle-timeout") return seconds(c.idle_timeout_s);
        if (name == "request-timeout") return seconds(c.request_timeout_s);
        if (name == "ring-timeout") return seconds(c.ring_timeout_s);
        if (name == "lock-per-id") return count(c.lock_per_id, 1, 1000000);
        if (name == "lock-per-addr") return count(c.lock_per_addr, 1, 1000000);
        if (name == "lock-window") return seconds(c.lock_window_s);
        if (name == "lock-duration") return seconds(c.lock_duration_s);
        if (name == "max-frame") return count(c.max_frame, 256, 16 * 1024 * 1024);
        if (name == "msg-rate") return seconds(c.msg_rate) && (c.msg_rate > 0 || fail("> 0"));
        if (name == "msg-burst") return seconds(c.msg_burst) && (c.msg_burst >= 1 || fail(">= 1"));
        if (name == "max-queue") return count(c.max_queue, 1, 1000000);
        if (name == "max-conn") return count(c.max_conn, 1, 10000000);
        if (name == "max-conn-per-addr") return count(c.max_conn_per_addr, 1, 10000000);
        if (name == "max-pending") return count(c.max_pending_per_host, 1, 1000);
        if (name == "max-pending-per-source") return count(c.max_pending_per_source, 1, 100000);
        if (name == "max-queue-bytes") return count(c.max_queue_bytes, 4096, 1LL << 32);
        if (name == "max-queued-per-source")
            return count(c.max_queued_per_source, 65536, 1LL << 40);
        if (name == "max-queued-total") return count(c.max_queued_total, 65536, 1LL << 40);
        if (name == "open-rate") return per_minute(c.open_per_source);
        if (name == "open-burst") return count(c.open_burst_source, 1, 1000000);
        if (name == "pair-rate") return per_minute(c.open_per_pair);
        if (name == "pair-burst") return count(c.open_burst_pair, 1, 1000000);
        if (name == "target-rate") return per_minute(c.open_per_target);
        if (name == "target-burst") return count(c.open_burst_target, 1, 1000000);
        if (name == "id-expiry") return seconds(c.id_expiry_days);
        if (name == "binds-per-hour") return count(c.binds_per_hour, 1, 1000000);
        if (name == "revoke")
            return valid_id(v) ? (c.revoke_id = v, true) : fail("expects a 9-digit ID");
        if (name == "config") return config_file(v);
        return fail("unknown option (see --help)");
    }

    bool config_file(const std::string& path) {
        if (++depth > 4) {
            error = "--config: nested too deeply";
            return false;
        }
        std::ifstream f(path);
        if (!f) {
            error = "--config: cannot read " + path;
            return false;
        }
        std::string line;
        while (std::getline(f, line)) {
            if (auto h = line.find('#'); h != std::string::npos) line.erase(h);
            auto trim = [](std::string s) {
                auto b = s.find_first_not_of(" \t\r");
                auto e = s.find_last_not_of(" \t\r");
                return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
            };
            line = trim(line);
            if (line.empty()) continue;
            auto sep = line.find_first_of(" \t=");
            std::string name = trim(line.substr(0, sep));
            std::string value = sep == std::string::npos ? "" : trim(line.substr(sep + 1));
            if (!value.empty() && value.front() == '=') value = trim(value.substr(1));
            if (name == "trust-proxy") {
                c.trust_proxy = value.empty() || value == "true" || value == "yes";
                continue;
            }
            if (!apply(name, value)) {
                error = path + ": " + error;
                return false;
            }
        }
        --depth;
        return true;
    }
};

} // namespace

std::optional<config> parse_config(int argc, char** argv, int& exit_code) {
    parser p;
    unsigned hw = std::thread::hardware_concurrency();
    p.c.threads = hw == 0 ? 2 : static_cast<int>(hw > 8 ? 8 : hw);
    exit_code = 2;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage_text, stdout);
            exit_code = 0;
            return std::nullopt;
        }
        if (a == "--version") {
            std::printf("kelvora-signal %s\n", KV_SIGNAL_VERSION);
            exit_code = 0;
            return std::nullopt;
        }
        if (a == "--trust-proxy") {
            p.c.trust_proxy = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            std::fprintf(stderr, "kelvora-signal: unexpected argument %s (see --help)\n",
                         a.c_str());
            return std::nullopt;
        }
        std::string name = a.substr(2), value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            std::fprintf(stderr, "kelvora-signal: --%s needs a value\n", name.c_str());
            return std::nullopt;
        }
        if (!p.apply(name, value)) {
            std::fprintf(stderr, "kelvora-signal: %s\n", p.error.c_str());
            return std::nullopt;
        }
    }
    if (p.c.cert_file.empty() != p.c.key_file.empty()) {
        std::fprintf(stderr, "kelvora-signal: --cert and --key go together\n");
        return std::nullopt;
    }
    if (p.c.turn_urls.empty() != p.c.turn_secret.empty()) {
        std::fprintf(stderr, "kelvora-signal: --turn-url and --turn-secret go together\n");
        return std::nullopt;
    }
    exit_code = 0;
    return p.c;
}

} // namespace kv
