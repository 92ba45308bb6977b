// kelvora-signal: wires the configuration, the ID store, the routing tables and the
// listener together, then runs the I/O threads until SIGINT or SIGTERM.
#include "config.hpp"
#include "listener.hpp"
#include "log.hpp"
#include "shared_state.hpp"
#include "store.hpp"

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <csignal>
#include <functional>
#include <thread>
#include <vector>

namespace net = boost::asio;

int main(int argc, char** argv) {
    int code = 0;
    auto cfg = kv::parse_config(argc, argv, code);
    if (!cfg) return code;
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    auto store = kv::id_store::open(cfg->data_dir, error);
    if (!store) {
        kv::fail("store", error);
        return 1;
    }

    std::unique_ptr<net::ssl::context> tls;
    if (cfg->tls()) {
        tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
        tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                         net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                         net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use);
        boost::system::error_code ec;
        tls->use_certificate_chain_file(cfg->cert_file, ec);
        if (ec) {
            kv::fail("tls.cert", cfg->cert_file + ": " + ec.message());
            return 1;
        }
        tls->use_private_key_file(cfg->key_file, net::ssl::context::pem, ec);
        if (ec) {
            kv::fail("tls.key", cfg->key_file + ": " + ec.message());
            return 1;
        }
    }

    boost::system::error_code ec;
    auto address = net::ip::make_address(cfg->listen_host, ec);
    if (ec) {
        kv::fail("listen", "not an IP address: " + cfg->listen_host);
        return 2;
    }

    net::io_context ioc(cfg->threads);
    auto state = std::make_shared<kv::shared_state>(*cfg, *store);
    kv::conn_limit limits(cfg->max_conn, cfg->max_conn_per_addr);
    auto lst = std::make_shared<kv::listener>(ioc, tls.get(), state, limits);
    if (!lst->open({address, cfg->listen_port}, error)) {
        kv::fail("listen",
                 cfg->listen_host + ":" + std::to_string(cfg->listen_port) + ": " + error);
        return 1;
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

    net::signal_set signals(ioc, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code, int) {
        kv::log_event("stopping");
        ioc.stop();
    });

    std::vector<std::thread> threads;
    for (int i = 1; i < cfg->threads; ++i)
        threads.emplace_back([&] { ioc.run(); });
    ioc.run();
    for (auto& t : threads)
        t.join();
    return 0;
}
