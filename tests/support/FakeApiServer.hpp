#pragma once

#include "sim/WebSocketServer.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::testSupport
{

// An API server (or validator) on a loopback address and an ephemeral port, run on the test's
// event loop: the simulator's WebSocket server, recording what each connection receives, that
// sends to or closes the newest connection.
class FakeApiServer
{
public:
    using ConnectionId = sim::WebSocketServer::ConnectionId;
    struct Connection
    {
        std::string host;   // Host header of the handshake
        std::string target; // request target of the handshake
        std::vector<std::string> received;
        bool open = true;
        ConnectionId id = 0;
    };

    explicit FakeApiServer(boost::asio::io_context &io, std::string const &address = "127.0.0.1")
        : server(io, {boost::asio::ip::make_address(address), 0},
                 {[this](ConnectionId id, std::string const &host, std::string const &target) {
                      connections.push_back({host, target, {}, true, id});
                  },
                  [this](ConnectionId id, std::string const &text)
                  {
                      byId(id).received.push_back(text);
                      received.push_back(text);
                  },
                  [this](ConnectionId id, boost::system::error_code const &)
                  { byId(id).open = false; }})
    {
    }

    boost::asio::ip::tcp::endpoint endpoint() const { return server.localEndpoint(); }
    // Connections that completed the WebSocket handshake, in accept order.
    std::size_t connectionCount() const { return connections.size(); }
    Connection const &newest() const
    {
        if (connections.empty())
            throw std::logic_error("FakeApiServer: nothing connected");
        return connections.back();
    }
    // Every message received on any connection, in arrival order.
    std::vector<std::string> const &allReceived() const { return received; }

    void send(std::string text) { server.send(newest().id, std::move(text)); }
    void closeNewest() { server.close(newest().id); }
    // While rejecting, TCP connections are dropped before the WebSocket handshake.
    void setRejecting(bool rejecting) { server.setRejecting(rejecting); }
    // While not reading, connections leave whatever arrives in the socket, so a peer's writes
    // back up once the socket buffers are full, and its pings go unanswered.
    void setReading(bool reading) { server.setReading(reading); }

private:
    Connection &byId(ConnectionId id)
    {
        return *std::find_if(connections.begin(), connections.end(),
                             [id](Connection const &connection) { return connection.id == id; });
    }

    std::vector<Connection> connections;
    std::vector<std::string> received;
    sim::WebSocketServer server; // last: its handlers use the records
};

} // namespace kelvarin::triggerTesting::testSupport
