#pragma once

#include "limits.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <string>

namespace kv {

class shared_state;
class tls_store;

// Accepts connections, takes each one's place under the connection caps at once, and
// hands it to an HTTP session on its own strand.
class listener : public std::enable_shared_from_this<listener> {
public:
    // `tls` null serves plain HTTP/WS.
    listener(boost::asio::io_context& ioc, const tls_store* tls,
             std::shared_ptr<shared_state> state, conn_limit& limits);

    // Binds and listens; on failure `error` says why.
    bool open(const boost::asio::ip::tcp::endpoint& ep, std::string& error);
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    void run();
    // Stops accepting; connections already accepted go on.
    void stop();

private:
    void do_accept();

    boost::asio::io_context& ioc_;
    const tls_store* tls_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<shared_state> state_;
    conn_limit& limits_;
};

} // namespace kv
