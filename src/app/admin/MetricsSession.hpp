#pragma once

#include "app/admin/MetricsRequestHandler.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

namespace kelvarin::triggerTesting
{

// One HTTP connection to the metrics endpoint: read a request, write its answer, and again
// while the client keeps the connection alive. One read or one write is pending at a time;
// the pending operation holds the session. A client that is slow, sends too much or breaks
// HTTP only loses its own connection; one that waits to send its request loses it to a newer
// client when every place is taken (MetricsServer).
class MetricsSession : public std::enable_shared_from_this<MetricsSession>
{
public:
    struct Limits
    {
        // A request, head and body together, above this is answered 413 and the connection
        // ends.
        std::size_t requestBytes = 8 * 1024;
        // Time to send a request's head: a probe sends it at once, and a client that trickles
        // it holds a place of the few there are.
        std::chrono::steady_clock::duration headTime = std::chrono::seconds(2);
        // Time to send a request's body after its head, and to take a whole answer.
        std::chrono::steady_clock::duration ioTime = std::chrono::seconds(10);
        // A kept-alive connection is closed after the first answer given once it is this old.
        std::chrono::steady_clock::duration lifetime = std::chrono::seconds(60);
    };

    // Called when the session is destroyed, its connection closed.
    using OnEnd = std::function<void()>;

    MetricsSession(boost::asio::ip::tcp::socket socket, MetricsRequestHandler const &handler,
                   Limits limits, OnEnd onEnd);
    ~MetricsSession();
    MetricsSession(MetricsSession const &) = delete;
    MetricsSession &operator=(MetricsSession const &) = delete;

    void start();
    void stop();

    // Whether the session waits for (the rest of) a request, and since when: such a session is
    // closed first when a new client needs its place.
    bool isOpen() const { return !stopped; }
    bool awaitsRequest() const { return reading && !stopped; }
    std::chrono::steady_clock::time_point awaitingSince() const { return readingSince; }

private:
    void readRequest();
    void onHeader(boost::system::error_code const &ec, std::size_t headerBytes);
    void onRequest(boost::system::error_code const &ec, std::size_t);
    void respond(MetricsRequestHandler::Response response);
    void onWrite(boost::system::error_code const &ec, std::size_t);
    bool isLimitExceeded(boost::system::error_code const &ec) const;

    boost::beast::tcp_stream stream;
    // Holds what arrived beyond the current request; twice the request limit leaves room for
    // a pipelined request behind one at the limit.
    boost::beast::flat_buffer buffer;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser;
    MetricsRequestHandler::Response response;
    MetricsRequestHandler const &handler;
    Limits limits;
    OnEnd onEnd;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point readingSince = started;
    bool reading = false;
    bool stopped = false;
};

} // namespace kelvarin::triggerTesting
