#pragma once

#include "sim/WebSocketClient.hpp"
#include "support/Helpers.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::testSupport
{

// A measurement device for tests: the simulator's WebSocket client, connecting at once, that
// sends whatever bytes the test gives it and records everything the controller sends back.
class FakeDevice
{
public:
    // Without reading, the device receives nothing and answers no pings.
    FakeDevice(boost::asio::io_context &io, boost::asio::ip::tcp::endpoint const &controller,
               std::string subprotocol = {}, bool reading = true)
        : io(io), link(std::make_shared<sim::WebSocketClient>(
                      io, sim::WebSocketClient::Settings{controller, subprotocol, {}, reading},
                      sim::WebSocketClient::Handlers{
                          [record = record](auto const &ec) { record->opened = ec; },
                          [record = record](std::string_view message)
                          { record->received.emplace_back(message); },
                          [record = record](auto const &ec) { record->ended = ec; }}))
    {
        link->connect();
    }
    ~FakeDevice() { link->closeSocket(); }
    FakeDevice(FakeDevice const &) = delete;
    FakeDevice &operator=(FakeDevice const &) = delete;

    // Runs the loop until the handshake is done; false when it failed or took too long.
    bool waitOpen()
    {
        return runUntil(io, [this] { return record->opened.has_value(); }) &&
               !record->opened->failed();
    }
    void send(std::string message) { link->send(std::move(message)); }
    // Closes the TCP connection without a WebSocket close handshake.
    void closeSocket() { link->closeSocket(); }

    bool allSent() const { return link->allSent(); }
    boost::beast::websocket::response_type const &handshakeResponse() const
    {
        return link->handshakeResponse();
    }
    std::vector<std::string> const &received() const { return record->received; }
    // Set once the controller closed or dropped the connection.
    std::optional<boost::system::error_code> const &ended() const { return record->ended; }

private:
    struct Record
    {
        std::optional<boost::system::error_code> opened;
        std::vector<std::string> received;
        std::optional<boost::system::error_code> ended;
    };

    boost::asio::io_context &io;
    // Shared with the client's handlers, which may outlive the device.
    std::shared_ptr<Record> record = std::make_shared<Record>();
    std::shared_ptr<sim::WebSocketClient> link;
};

} // namespace kelvarin::triggerTesting::testSupport
