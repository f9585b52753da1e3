#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::testSupport
{

// An API server on a loopback address and an ephemeral port, run on the test's event loop.
// It accepts any number of WebSocket connections, records what each one receives and can
// send to, or close, the newest one.
class FakeApiServer
{
public:
    struct Connection
    {
        std::string host;   // Host header of the handshake
        std::string target; // request target of the handshake
        std::vector<std::string> received;
        bool open = false;
    };

    explicit FakeApiServer(boost::asio::io_context& io, std::string const& address = "127.0.0.1");
    ~FakeApiServer();
    FakeApiServer(FakeApiServer const&) = delete;
    FakeApiServer& operator=(FakeApiServer const&) = delete;

    boost::asio::ip::tcp::endpoint endpoint() const;

    // Connections that completed the WebSocket handshake, in accept order.
    std::size_t connectionCount() const;
    Connection const& connection(std::size_t index) const;
    Connection const& newest() const { return connection(connectionCount() - 1); }
    // Every message received on any connection, in arrival order.
    std::vector<std::string> const& allReceived() const;

    void send(std::string text);
    void closeNewest();
    // While rejecting, TCP connections are dropped before the WebSocket handshake.
    void setRejecting(bool rejecting);
    // While not reading, connections leave whatever arrives in the socket, so a peer's writes
    // back up once the socket buffers are full.
    void setReading(bool reading);

private:
    struct State;
    std::shared_ptr<State> state;
};

} // namespace kelvarin::triggerTesting::testSupport
