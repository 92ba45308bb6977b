#pragma once

#include "net_types.hpp"

#include <functional>
#include <memory>
#include <string>

namespace kv {

// Accepts connections on one address and hands each socket, on its own strand, to
// `on_accept`. The public port and the metrics port differ only in that callback.
class listener : public std::enable_shared_from_this<listener> {
public:
    using handler = std::function<void(tcp_socket)>;

    listener(boost::asio::io_context& ioc, handler on_accept);

    // Binds and listens; on failure `error` says why.
    bool open(const boost::asio::ip::tcp::endpoint& ep, std::string& error);
    boost::asio::ip::tcp::endpoint local_endpoint() const;
    void run();
    // Stops accepting; connections already accepted go on.
    void stop();

private:
    void do_accept();

    boost::asio::io_context& ioc_;
    boost::asio::ip::tcp::acceptor acceptor_;
    handler on_accept_;
};

} // namespace kv
