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
// common part of the simulated API servers and the validator. Each connection gets a number;
// the handlers hear of connections opening, messages arriving and connections ending, and may
// send from inside a handler. Nothing is called after stop.
class WebSocketServer
{
public:
    using ConnectionId = std::size_t;
    struct Handlers
    {
        // The connection completed its handshake; host is its Host header.
        std::function<void(ConnectionId, std::string const &host)> onOpen;
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
    std::vector<ConnectionId> openConnections() const;
    // Closes the listening socket and every connection without a close handshake.
    void stop();

private:
    struct State;
    std::shared_ptr<State> state;
};

} // namespace kelvarin::triggerTesting::sim
