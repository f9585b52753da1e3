#pragma once

#include "api/APIQueueBudget.hpp"
#include "api/APISessionHandOver.hpp"
#include "api/APIWriteQueue.hpp"
#include "api/ITestRequest.hpp"
#include "common/FrameBoundaryStream.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace kelvarin::triggerTesting
{

struct APISessionTimings
{
    // The wait after a failed connection attempt, and the least time between two attempts.
    std::chrono::steady_clock::duration retryDelay = std::chrono::seconds(1);
    // A server that takes longer for the handshake, or stays silent longer once connected (it
    // is pinged after half of that), counts as a failed connection.
    std::chrono::steady_clock::duration handshakeTimeout = std::chrono::seconds(60);
    std::chrono::steady_clock::duration idleTimeout = std::chrono::seconds(60);
};

// The request connection to one API server. It registers the controller, hands "execute"
// requests to the request handler, answers "isOnline" queries itself and writes queued
// messages. It reconnects without end until the pool stops it; the write queue survives
// reconnections. What the queue holds is charged to the budget all sessions share, which drops
// the oldest messages of the heaviest session when they hold too much.
//
// Two coroutines share the session: the connection cycle (connect, register, read until the
// connection fails, wait, again) and the writer, which the cycle or a new message starts when
// something waits to be written on a registered connection, and which ends when the queue is
// empty or the connection gone. The writer hands what is queued to the socket in one write, up
// to 64 KiB at a time.
//
// A reload hands the session to the controller's next program: holding, the session finishes
// the message it is reading or writing and starts no other; once it waits at a message boundary
// its registered connection, the bytes read past that boundary and its queue are handed over. The
// next program's session adopts them and goes on without registering again.
class APISession : public std::enable_shared_from_this<APISession>
{
public:
    using RequestHandler = std::function<void(ITestRequest &)>;
    using IsOnlineHandler = std::function<bool(unsigned long)>;
    // The session runs on an io_context, named as such: type-erased executors would be copied
    // and called through at every step of every message.
    using Executor = boost::asio::io_context::executor_type;
    using Strand = boost::asio::strand<Executor>;
    using Yield = boost::asio::basic_yield_context<Strand>;
    using Socket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, Executor>;
    using WebSocket = boost::beast::websocket::stream<FrameBoundaryStream<Socket>>;
    using Timer = boost::asio::basic_waitable_timer<
        std::chrono::steady_clock, boost::asio::wait_traits<std::chrono::steady_clock>, Executor>;

    using Timings = APISessionTimings;

    static constexpr std::size_t defaultQueueLimit = std::size_t{256} << 20;

    // Without a budget of the pool's the queue is unbounded.
    APISession(boost::asio::io_context &io, std::string host,
               boost::asio::ip::tcp::endpoint endpoint, RequestHandler requestHandler,
               IsOnlineHandler isOnlineHandler, Timings timings = {},
               std::shared_ptr<APIQueueBudget> budget = nullptr);
    ~APISession();
    APISession(APISession const &) = delete;
    APISession &operator=(APISession const &) = delete;

    void start();
    void enqueueMessage(std::string const &message);
    void sendResult(std::string message);
    // The same text for every session: queued without a copy of its own.
    void sendResult(SharedText message);

    // Opens the TCP socket as IPv4 with keep-alive. On failure the socket is left closed and
    // the error returned: running out of descriptors must not end the service.
    boost::system::error_code openSocket();
    // Closes the TCP socket and marks the session stopped; its coroutines end on their own.
    // Its unsent messages go at once, without a drop line: nobody will take them.
    void stop();

    // For a reload: holding, the session finishes what it reads or writes and starts nothing
    // new; resume undoes that when the reload failed.
    void hold();
    void resume();
    // Nothing is partly read or written on a registered connection: what the session holds can
    // be handed over exactly.
    bool atHandOverPoint() const;
    // Copies of what the next program needs: an exec that fails leaves everything as it was.
    APISessionHandOver handOverRecord() const;
    // Ends a connection that could not reach a message boundary in time, as a failed one: only
    // the queue goes over, and the message being written is written again in full.
    void failHandOver();
    // Goes on, instead of openSocket() and start(), with what the previous program handed over:
    // the queue, and the registered connection when the record has one. When that connection
    // cannot be taken, the error is returned, the descriptor stays the caller's, and the session
    // connects as usual.
    std::error_code adopt(APISessionHandOver const &record);

    boost::asio::ip::tcp::endpoint const &getEndpoint() const { return endpoint; }
    bool isConnected() const { return connected; }
    bool isStopped() const { return stopped; }
    std::size_t queuedMessages() const { return writeQueue.size(); }
    // The bytes of the texts queued, and what the queue is charged for them.
    std::size_t queuedBytes() const { return writeQueue.bytes(); }
    std::size_t queueCost() const { return writeQueue.cost(); }
    std::uint64_t droppedMessages() const { return writeQueue.dropped(); }

private:
    void enqueue(SharedText message);
    void runConnection(Yield yield);
    bool establishConnection(Yield yield);
    void serveConnection(Yield yield);
    void waitWhileHeld(Yield yield);
    void closeWebSocket(Yield yield);
    void setTimeouts();
    boost::system::error_code adoptConnection(int descriptor, std::string const &pending);
    boost::system::error_code renewSocket();
    boost::system::error_code connect(Yield yield);
    void readMessages(Yield yield);
    void waitBeforeNextAttempt(std::chrono::steady_clock::time_point until, Yield yield);
    void dispatch(std::string_view text);
    bool writerDue() const;
    void startWriterIfDue();
    void writeQueued(std::shared_ptr<WebSocket> const &connection, Yield yield);

    boost::asio::io_context &io;
    std::shared_ptr<WebSocket> stream;
    std::string host;
    boost::asio::ip::tcp::endpoint endpoint;
    APIWriteQueue writeQueue;
    RequestHandler requestHandler;
    IsOnlineHandler isOnlineHandler;
    bool stopped = false;

    Timings timings;
    Timer retryTimer;
    bool connected = false;     // registration written on the current connection
    bool writerRunning = false; // keeps a writer of a dropped connection the only one
    bool holding = false;
    bool adopted = false; // the first connection is the previous program's, registered
    // Whole messages taken from the stream, to compare with those it was given.
    std::uint32_t messagesHandled = 0;
    Timer holdTimer; // the connection cycle waits on it while held

    // Each coroutine keeps its strand: a new one for every burst of writes would cost an
    // allocation each time.
    Strand connectionStrand;
    Strand writerStrand;
};

} // namespace kelvarin::triggerTesting
