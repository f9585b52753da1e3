#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <boost/system/error_code.hpp>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kelvarin::triggerTesting::sim
{

// A WebSocket client for binary messages on the caller's event loop, for one connection: the
// common part of every simulated device (the simulator's, the benchmark's and the tests'). It
// connects, offers a subprotocol, hands every message it reads to a handler and writes queued
// messages one at a time. The handlers are released once the connection has ended.
class WebSocketClient : public std::enable_shared_from_this<WebSocketClient>
{
public:
    struct Settings
    {
        boost::asio::ip::tcp::endpoint server;
        std::string subprotocol; // offered in the handshake; empty: none
        // Bound before connecting; the port is chosen per destination at connect time.
        std::optional<boost::asio::ip::address_v4> source;
        bool reading = true; // false: nothing is read, pings stay unanswered
    };
    struct Handlers
    {
        // Once per client: the handshake completed, or the connection could not be made.
        std::function<void(boost::system::error_code const &)> onOpen;
        // The message is valid until the handler returns.
        std::function<void(std::string_view message)> onMessage;
        // Once, when an open connection has ended, whichever side ended it.
        std::function<void(boost::system::error_code const &)> onClose;
    };
    // Whether a queued message was written; false also for messages dropped with the
    // connection.
    using Written = std::function<void(bool)>;

    WebSocketClient(boost::asio::io_context &io, Settings settings, Handlers handlers);
    WebSocketClient(WebSocketClient const &) = delete;
    WebSocketClient &operator=(WebSocketClient const &) = delete;

    void connect();
    // Queues a message; it leaves after those queued before, once the handshake is done.
    void send(std::string message, Written written = {});
    // Ends the connection: with a close handshake when nothing is being written, otherwise by
    // closing the socket. No message is handed on after this.
    void close();
    // Ends the connection at once, without a close handshake.
    void closeSocket();

    bool isOpen() const { return open; }
    bool allSent() const { return outbox.empty(); }
    boost::beast::websocket::response_type const &handshakeResponse() const { return response; }

private:
    void onConnect(boost::system::error_code const &ec);
    void onHandshake(boost::system::error_code const &ec);
    void readNext();
    void onRead(boost::system::error_code const &ec, std::size_t);
    void writeFront();
    void onWrite(boost::system::error_code const &ec, std::size_t);
    void dropQueue();

    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws;
    Settings settings;
    Handlers handlers;
    boost::beast::websocket::response_type response;
    boost::beast::flat_buffer buffer;
    std::deque<std::pair<std::string, Written>> outbox;
    bool open = false;
    bool writing = false;
    bool closing = false;
};

} // namespace kelvarin::triggerTesting::sim
