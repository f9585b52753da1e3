#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/uuid/uuid.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::test
{

// A measurement device for tests: a WebSocket client on the caller's event loop that sends
// device messages and records everything the controller sends back.
class FakeDevice
{
public:
    explicit FakeDevice(boost::asio::io_context &io);
    ~FakeDevice();
    FakeDevice(FakeDevice const &) = delete;
    FakeDevice &operator=(FakeDevice const &) = delete;

    // Starts the TCP connect and the WebSocket handshake. A non-empty subprotocol is offered in
    // the request. Without reading, the device receives nothing and answers no pings.
    void connect(boost::asio::ip::tcp::endpoint const &endpoint, std::string subprotocol = {},
                 bool reading = true);
    // Connects and runs the loop until the handshake is done; false when it failed or timed out.
    bool connectAndWait(boost::asio::ip::tcp::endpoint const &endpoint,
                        std::string subprotocol = {});
    // Queues one binary message.
    void send(std::string message);
    // Closes the TCP connection without a WebSocket close handshake.
    void closeSocket();

    // Every queued message has been handed to the socket.
    bool allSent() const;
    bool isConnected() const;
    boost::system::error_code handshakeError() const;
    boost::beast::websocket::response_type const &handshakeResponse() const;
    std::vector<std::string> const &received() const;
    // Set once a read failed: the controller closed or dropped the connection.
    bool isDisconnected() const;
    boost::system::error_code readError() const;

    // Runs the loop until done() holds or the deadline passes; returns done().
    static bool runUntil(boost::asio::io_context &io, std::function<bool()> const &done,
                         std::chrono::milliseconds deadline = std::chrono::seconds(5));

    static std::string registerMessage(std::uint64_t unitId,
                                       std::array<std::uint8_t, 6> const &mac);
    static std::string resultMessage(boost::uuids::uuid const &requestId, std::uint8_t flags,
                                     std::string const &text);

private:
    struct Connection;

    boost::asio::io_context &io;
    // Shared with the pending handlers, which may outlive the device object.
    std::shared_ptr<Connection> connection;
};

} // namespace kelvarin::triggerTesting::test
