#pragma once

#include "common/FrameBoundaryStream.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstddef>
#include <vector>

namespace kelvarin::triggerTesting
{

// The WebSocket streams of the device connections. A stream is the largest part of a connection
// (its read buffer alone is 1.5 KiB), yet a device needs one only while it sends or is sent a
// message: between messages a stream holds nothing of its connection. Connections therefore
// borrow an open stream for each message and give it back after, and most devices, idle most of
// the time, hold none. The pool keeps a bounded number of free streams for the next borrowers.
class DeviceStreamPool
{
public:
    using Executor = boost::asio::io_context::executor_type;
    using Socket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, Executor>;
    // Devices are never offered compression: the stream is built without it.
    using WebSocket = boost::beast::websocket::stream<LentFrameBoundaryStream<Socket>, false>;

    // Free streams kept for later borrowers; more are freed when given back.
    static constexpr std::size_t defaultKept = 256;

    explicit DeviceStreamPool(std::size_t kept = defaultKept) : kept(kept) {}
    DeviceStreamPool(DeviceStreamPool const &) = delete;
    DeviceStreamPool &operator=(DeviceStreamPool const &) = delete;

    // A new stream, lent to the connection for its opening handshake.
    static WebSocket forHandshake(Executor const &executor, Socket &socket, FrameBoundary &frames,
                                  std::chrono::steady_clock::duration handshakeTimeout);
    // An open stream for a connection past its handshake, lent to it.
    WebSocket lend(Executor const &executor, Socket &socket, FrameBoundary &frames,
                   std::chrono::steady_clock::duration handshakeTimeout);
    // Takes back a stream that was lent and holds nothing of the connection: it is open, no
    // operation is under way on it and it was given no byte past a finished message.
    void giveBack(WebSocket &&stream);

    std::size_t freeStreams() const { return streams.size(); }
    // The free streams go: a fleet has shrunk, and the next borrowers will be fewer.
    void releaseFree() { std::vector<WebSocket>().swap(streams); }

private:
    static WebSocket makeOpen(Executor const &executor);

    std::size_t kept;
    std::vector<WebSocket> streams;
};

} // namespace kelvarin::triggerTesting
