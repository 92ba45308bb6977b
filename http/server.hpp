#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "http/handler.hpp"

namespace kelvora::http {

// The HTTP/1.1 server on 127.0.0.1. One thread accepts, parses and writes; GET-like
// requests are answered one after another on the request thread; authorised POSTs run on
// a bounded pool of threads so a slow call holds up nothing else. Connections from other
// users' programs get 403.
class LocalServer {
public:
    // Binds on the first port of the list that can be bound (0 lets the system choose);
    // null when none can.
    static std::unique_ptr<LocalServer> bind(const std::vector<std::uint16_t>& ports);
    ~LocalServer();

    // The port actually bound.
    std::uint16_t port() const;
    // Starts the threads; requests are answered by handler from then on.
    void start(std::shared_ptr<const RequestHandler> handler, const Log& log);

    struct Impl;

private:
    explicit LocalServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace kelvora::http
