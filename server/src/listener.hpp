#pragma once

#include "limits.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <string>

namespace kv {

class shared_state;

// Accepts connections and hands each to an HTTP session on its own strand.
class listener : public std::enable_shared_from_this<listener> {
public:
    listener(boost::asio::io_context& ioc, boost::asio::ssl::context* tls,
             std::shared_ptr<shared_state> state, conn_limit& limits);

    // Binds and listens; on failure `error` says why.
    bool open(const boost::asio::ip::tcp::endpoint& ep, std::string& error);
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    void run();

private:
    void do_accept();

    boost::asio::io_context& ioc_;
    boost::asio::ssl::context* tls_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<shared_state> state_;
    conn_limit& limits_;
};

} // namespace kv
