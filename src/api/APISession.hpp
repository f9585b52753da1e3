#pragma once

#include "api/ITestRequest.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace kelvarin::triggerTesting
{

struct APISessionTimings
{
    // The wait after a failed connection attempt.
    std::chrono::steady_clock::duration retryDelay = std::chrono::seconds(1);
};

// The request connection to one API server. It registers the controller, hands "execute"
// requests to the request handler, answers "isOnline" queries itself and writes queued
// messages. It reconnects without end until the pool stops it; the write queue survives
// reconnections.
class APISession : public std::enable_shared_from_this<APISession>
{
public:
    using RequestHandler = std::function<void(ITestRequest&)>;
    using IsOnlineHandler = std::function<bool(unsigned long)>;
    using WebSocket = boost::beast::websocket::stream<boost::asio::ip::tcp::socket>;

    using Timings = APISessionTimings;

    APISession(boost::asio::io_context& io, std::string host,
               boost::asio::ip::tcp::endpoint endpoint, RequestHandler requestHandler,
               IsOnlineHandler isOnlineHandler, Timings timings = {});

    void start();
    void enqueueMessage(std::string const& message);
    void sendResult(std::string message);
    void startWriting();

    // Opens the TCP socket as IPv4 with keep-alive. On failure the socket is left closed and
    // the error returned: running out of descriptors must not end the service.
    boost::system::error_code openSocket();
    // Closes the TCP socket and marks the session stopped; its coroutines end on their own.
    void stop();

    boost::asio::ip::tcp::endpoint const& getEndpoint() const { return endpoint; }
    bool isConnected() const { return connected; }
    bool isStopped() const { return stopped; }
    std::deque<std::string> const& getWriteQueue() const { return writeQueue; }
    // Bytes of the messages waiting in the write queue.
    std::size_t queuedBytes() const;
    // Messages dropped because the write queue was full.
    std::uint64_t droppedMessages() const { return 0; }

private:
    void enqueue(std::string&& message);
    void runConnection(boost::asio::yield_context yield);
    void closeWebSocket(boost::asio::yield_context yield);
    boost::system::error_code renewSocket();
    boost::system::error_code connect(boost::asio::yield_context yield);
    void readMessages(boost::asio::yield_context yield);
    void dispatch(std::string const& text);
    void writeQueued(boost::asio::yield_context yield);

    boost::asio::io_context& io;
    std::shared_ptr<WebSocket> stream;
    std::string host;
    std::deque<std::string> writeQueue;
    boost::asio::ip::tcp::endpoint endpoint;
    RequestHandler requestHandler;
    IsOnlineHandler isOnlineHandler;
    bool stopped = false;

    Timings timings;
    boost::asio::steady_timer retryTimer;
    bool connected = false;     // registration written on the current connection
    bool writerRunning = false; // keeps a writer of a dropped connection the only one
};

} // namespace kelvarin::triggerTesting
