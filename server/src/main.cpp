// kelvora-signal: wires the configuration, the ID store, the routing tables and the
// listeners together, then runs the I/O threads until SIGINT or SIGTERM. SIGHUP reloads
// the certificate and re-checks the bindings of the PCs online on a background thread.
#include "config.hpp"
#include "http_session.hpp"
#include "listener.hpp"
#include "log.hpp"
#include "metrics_session.hpp"
#include "shared_state.hpp"
#include "cluster.hpp"
#include "redis_store.hpp"
#include "sqlite_store.hpp"
#include "tls.hpp"

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace net = boost::asio;

namespace {

int revoke(const kv::config& cfg) {
    if (!cfg.redis_url.empty()) {
        std::fprintf(stderr, "kelvora-signal: with --redis, revoke with: redis-cli DEL kv:id:%s\n",
                     cfg.revoke_id.c_str());
        return 2;
    }
    std::string error;
    auto store = kv::sqlite_store::open(cfg, error);
    bool found = false;
    if (!store || !store->revoke(cfg.revoke_id, found, error)) {
        std::fprintf(stderr, "kelvora-signal: cannot revoke %s: %s\n", cfg.revoke_id.c_str(),
                     error.c_str());
        return 1;
    }
    if (!found) {
        std::printf("%s was not bound; nothing to do\n", cfg.revoke_id.c_str());
        return 0;
    }
    std::printf("%s is free again; a running server drops its PC on SIGHUP (reload)\n",
                cfg.revoke_id.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int code = 0;
    auto cfg = kv::parse_config(argc, argv, code);
    if (!cfg) return code;
    if (!cfg->revoke_id.empty()) return revoke(*cfg);
    std::signal(SIGPIPE, SIG_IGN);

    // Everything the I/O handlers use is made before the io_context and so outlives it:
    // destroying the context destroys the pending handlers, and with them the sessions
    // that still hold tickets, the TLS context and the routing tables.
    std::string error;
    std::unique_ptr<kv::cluster> cluster;
    std::unique_ptr<kv::store> store;
    if (!cfg->redis_url.empty()) {
        kv::redis_address where;
        if (!kv::parse_redis_url(cfg->redis_url, where, error)) {
            kv::fail("redis", "--redis: " + error);
            return 2;
        }
        cluster = std::make_unique<kv::cluster>(where);
        store = std::make_unique<kv::redis_store>(*cfg, *cluster);
    } else {
        store = kv::sqlite_store::open(*cfg, error);
        if (!store) {
            kv::fail("store", error);
            return 1;
        }
    }
    std::unique_ptr<kv::tls_store> tls;
    if (cfg->tls()) {
        tls = std::make_unique<kv::tls_store>(cfg->cert_file, cfg->key_file);
        if (!tls->reload(error)) {
            kv::fail("tls", error);
            return 1;
        }
    }
    boost::system::error_code ec;
    auto address = net::ip::make_address(cfg->listen_host, ec);
    if (ec) {
        kv::fail("listen", "not an IP address: " + cfg->listen_host);
        return 2;
    }
    kv::conn_limit limits(cfg->max_conn, cfg->max_conn_per_addr);
    auto state = std::make_shared<kv::shared_state>(*cfg, *store, limits);

    net::io_context ioc(cfg->threads);
    if (cluster) {
        state->set_cluster(cluster.get());
        cluster->start(
            ioc, [state](std::string m) { state->on_cluster_message(m); },
            [state](bool up) { state->on_cluster_state(up); });
        kv::log_event("cluster", {{"node", cluster->node()}});
    }
    auto lst = std::make_shared<kv::listener>(ioc, [&tls, &limits, state](kv::tcp_socket s) {
        kv::serve_connection(std::move(s), tls.get(), state, limits);
    });
    if (!lst->open({address, cfg->listen_port}, error)) {
        kv::fail("listen",
                 cfg->listen_host + ":" + std::to_string(cfg->listen_port) + ": " + error);
        return 1;
    }
    std::shared_ptr<kv::listener> metrics;
    if (!cfg->metrics_host.empty()) {
        metrics = std::make_shared<kv::listener>(
            ioc, [state](kv::tcp_socket s) { kv::serve_metrics(std::move(s), state); });
        if (!metrics->open({net::ip::make_address(cfg->metrics_host), cfg->metrics_port}, error)) {
            kv::fail("metrics",
                     cfg->metrics_host + ":" + std::to_string(cfg->metrics_port) + ": " + error);
            return 1;
        }
        metrics->run();
        kv::log_event("metrics", {{"addr", cfg->metrics_host},
                                  {"port", std::to_string(metrics->local_endpoint().port())}});
    }
    lst->run();
    auto ep = lst->local_endpoint();
    kv::log_event("listening", {{"addr", ep.address().to_string()},
                                {"port", std::to_string(ep.port())},
                                {"tls", cfg->tls() ? "yes" : "no"},
                                {"turn", cfg->turn() ? "yes" : "no"},
                                {"version", KV_SIGNAL_VERSION}});

    // Deadlines of requests and rings are swept a few times a second; a tenth of a
    // second of lateness is invisible next to their 45-60 s.
    net::steady_timer sweep(ioc);
    std::function<void()> arm = [&] {
        sweep.expires_after(std::chrono::milliseconds(100));
        sweep.async_wait([&](boost::system::error_code e) {
            if (e) return;
            state->tick();
            arm();
        });
    };
    arm();

    // SIGTERM: stop accepting, tell every socket "server going away" with a close frame,
    // and end once they have all closed or the grace is over. The pages reconnect after
    // a random wait, so a restart does not bring every PC back in the same second.
    net::steady_timer drain(ioc);
    auto deadline = kv::steady::now();
    std::function<void()> wait_drained = [&] {
        if (state->sockets() == 0 || kv::steady::now() >= deadline) {
            kv::log_event("stopped", {{"open", std::to_string(state->sockets())}});
            ioc.stop();
            return;
        }
        drain.expires_after(std::chrono::milliseconds(50));
        drain.async_wait([&](boost::system::error_code e) {
            if (!e) wait_drained();
        });
    };
    net::signal_set stop_signals(ioc, SIGINT, SIGTERM);
    stop_signals.async_wait([&](boost::system::error_code e, int) {
        if (e) return;
        lst->stop();
        if (metrics) metrics->stop();
        sweep.cancel();
        std::size_t open = state->shut_down();
        kv::log_event("stopping", {{"open", std::to_string(open)}});
        deadline = kv::steady::now() + kv::seconds_of(cfg->shutdown_grace_s);
        wait_drained();
        // A second signal does not wait for the grace.
        stop_signals.async_wait([&](boost::system::error_code e2, int) {
            if (!e2) ioc.stop();
        });
    });

    // The binding re-check reads the database once per PC online, and each read may wait
    // for a lock held by a backup or a --revoke: thousands of reads that must never hold up
    // an I/O thread, so they run on a thread of their own. A SIGHUP during a re-check asks
    // for one more pass after it, never a second one beside it.
    net::thread_pool background(1);
    std::atomic<bool> recheck_running{false}, recheck_again{false};
    auto recheck_pass = [&] {
        do {
            while (recheck_again.exchange(false)) {
                state->recheck_bindings();
                kv::log_event("rechecked");
            }
            recheck_running = false;
        } while (recheck_again && !recheck_running.exchange(true));
    };
    net::signal_set reload_signal(ioc, SIGHUP);
    std::function<void()> on_reload = [&] {
        reload_signal.async_wait([&](boost::system::error_code e, int) {
            if (e) return;
            std::string why;
            if (tls && !tls->reload(why))
                kv::fail("tls.reload", why + " (the previous certificate stays in use)");
            else
                kv::log_event("reloaded", {{"tls", tls ? "yes" : "no"}});
            recheck_again = true;
            if (!recheck_running.exchange(true)) net::post(background, recheck_pass);
            on_reload();
        });
    };
    on_reload();

    std::vector<std::thread> threads;
    for (int i = 1; i < cfg->threads; ++i)
        threads.emplace_back([&] { ioc.run(); });
    ioc.run();
    for (auto& t : threads)
        t.join();
    // A re-check still running sees the server stopping and ends early.
    background.join();
    return 0;
}
