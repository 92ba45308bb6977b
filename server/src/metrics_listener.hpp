#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <string>

namespace kv {

class shared_state;

// GET /metrics in Prometheus text format, plain HTTP, one request per connection. Only
// ever bound to loopback (the configuration refuses anything else).
class metrics_listener : public std::enable_shared_from_this<metrics_listener> {
public:
    metrics_listener(boost::asio::io_context& ioc, std::shared_ptr<shared_state> state);

    bool open(const boost::asio::ip::tcp::endpoint& ep, std::string& error);
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    void run();
    void stop();

private:
    void do_accept();

    boost::asio::io_context& ioc_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<shared_state> state_;
};

} // namespace kv
