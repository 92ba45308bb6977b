#pragma once

#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <mutex>
#include <string>

namespace kv {

// The server's certificate and key. A reload builds a new context and swaps it in: new
// connections get it, connections already open keep the context they started with.
class tls_store {
public:
    tls_store(std::string cert_file, std::string key_file)
        : cert_file_(std::move(cert_file)), key_file_(std::move(key_file)) {}

    // Reads both files again; on failure keeps the current context and says why.
    bool reload(std::string& error);
    std::shared_ptr<boost::asio::ssl::context> current() const;

private:
    std::string cert_file_, key_file_;
    mutable std::mutex mutex_;
    std::shared_ptr<boost::asio::ssl::context> ctx_;
};

} // namespace kv
