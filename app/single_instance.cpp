#include "app/single_instance.hpp"

#include <array>
#include <chrono>
#include <functional>
#include <string>

#include <boost/asio.hpp>

#include "base/text.hpp"

namespace kelvora {

namespace net = boost::asio;
using tcp = net::ip::tcp;

std::optional<std::uint16_t> instance_port(const std::optional<json>& f) {
    if (!f || !f->is_object()) return std::nullopt;
    auto it = f->find("port");
    if (it == f->end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        if (v > UINT16_MAX) return std::nullopt;
        return static_cast<std::uint16_t>(v);
    }
    const auto v = it->get<std::int64_t>();
    if (v < 0 || v > UINT16_MAX) return std::nullopt;
    return static_cast<std::uint16_t>(v);
}

bool running_copy_answered(std::uint16_t port) {
    using namespace std::chrono_literals;
    net::io_context ioc;
    tcp::socket socket(ioc);
    std::string received;
    std::array<char, 4096> buf{};
    const std::string request =
        "GET /api/ventana HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";

    // Connect within 800 ms, then read whatever arrives until the peer closes, an error,
    // or 2 s of reading.
    net::steady_timer timer(ioc, 800ms);
    bool connected = false;
    std::function<void(boost::system::error_code, std::size_t)> on_read =
        [&](boost::system::error_code ec, std::size_t n) {
            received.append(buf.data(), n);
            if (ec) {
                timer.cancel();
                return;
            }
            socket.async_read_some(net::buffer(buf), on_read);
        };
    socket.async_connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port),
                         [&](boost::system::error_code ec) {
                             if (ec) {
                                 timer.cancel();
                                 return;
                             }
                             connected = true;
                             timer.expires_after(2000ms);
                             timer.async_wait([&](boost::system::error_code tec) {
                                 if (!tec) {
                                     boost::system::error_code ignored;
                                     socket.close(ignored);
                                 }
                             });
                             net::async_write(socket, net::buffer(request),
                                              [&](boost::system::error_code wec, std::size_t) {
                                                  if (wec) {
                                                      timer.cancel();
                                                      return;
                                                  }
                                                  socket.async_read_some(net::buffer(buf), on_read);
                                              });
                         });
    timer.async_wait([&](boost::system::error_code ec) {
        if (!ec && !connected) {
            boost::system::error_code ignored;
            socket.close(ignored);
        }
    });
    ioc.run();
    if (!is_valid_utf8(received)) return false;
    return received.find("200 OK") != std::string::npos;
}

} // namespace kelvora
