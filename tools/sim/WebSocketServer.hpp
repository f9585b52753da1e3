#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::sim
{

// A WebSocket server for text messages on one endpoint, run on the caller's event loop: the
// common part of every simulated API server and validator (the simulator's, the benchmark's
// and the tests'). Each connection gets a number; the handlers hear of connections opening,
// messages arriving and connections ending, and may send from inside a handler. Nothing is
// called after stop.
class WebSocketServer
{
public:
    using ConnectionId = std::size_t;
    struct Handlers
    {
        // The connection completed its handshake; host is its Host header, target the path.
        std::function<void(ConnectionId, std::string const &host, std::string const &target)>
            onOpen;
        std::function<void(ConnectionId, std::string const &text)> onMessage;
        std::function<void(ConnectionId, boost::system::error_code const &)> onClose;
    };

    // Binds and listens at once, so a bind failure is thrown to the caller (port 0 picks one).
    WebSocketServer(boost::asio::io_context &io, boost::asio::ip::tcp::endpoint const &endpoint,
                    Handlers handlers);
    ~WebSocketServer();
    WebSocketServer(WebSocketServer const &) = delete;
    WebSocketServer &operator=(WebSocketServer const &) = delete;

    boost::asio::ip::tcp::endpoint localEndpoint() const;
    // "127.0.0.2:10002 #3": the server and the connection, for the lines a role reports.
    std::string describe(ConnectionId connection) const;
    // Queues a text message; messages to one connection leave in order. Unknown or closed
    // connections drop it.
    void send(ConnectionId connection, std::string text);
    // Ends the connection with a close handshake, after what was queued before.
    void close(ConnectionId connection);
    std::vector<ConnectionId> openConnections() const;
    // While rejecting, new TCP connections are closed before the WebSocket handshake.
    void setRejecting(bool rejecting);
    // While not reading, whatever arrives stays in the sockets, so that a peer's writes back up
    // once the socket buffers are full, and its pings go unanswered.
    void setReading(bool reading);
    // Closes the listening socket and every connection without a close handshake.
    void stop();

private:
    struct State;
    std::shared_ptr<State> state;
};

} // namespace kelvarin::triggerTesting::sim
