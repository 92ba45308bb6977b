#pragma once

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/tcp_stream.hpp>

namespace kv {

// Every connection runs on a strand of the node's io_context, named as that concrete type:
// with the type-erased default executor each read, write and hand-over on a socket copied
// and destroyed an erased executor, a large part of what relaying one frame cost.
using strand = boost::asio::strand<boost::asio::io_context::executor_type>;
using tcp_socket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, strand>;
using tcp_stream = boost::beast::basic_stream<boost::asio::ip::tcp, strand>;

} // namespace kv
