#pragma once

#include "api/APISessionHandOver.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace kelvarin::triggerTesting::testSupport
{

// What a peer received or the service logged, in order.
using Lines = std::vector<std::string>;

// Messages as a session queues and hands them over, shared, and their texts.
inline std::vector<SharedText> sharedTexts(Lines const &texts)
{
    std::vector<SharedText> shared;
    for (auto const &text : texts)
        shared.push_back(shareText(text));
    return shared;
}

inline Lines textsOf(std::vector<SharedText> const &shared)
{
    Lines texts;
    for (auto const &text : shared)
        texts.emplace_back(text->view());
    return texts;
}

// Runs the loop until the condition holds or the deadline passes; returns the condition.
inline bool runUntil(boost::asio::io_context &io, std::function<bool()> const &condition,
                     std::chrono::steady_clock::duration timeout = std::chrono::seconds(5))
{
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        io.restart();
        io.run_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Shuts the sockets it watches down once the deadline passes, so that a blocking read or write
// on one of them fails the test at once instead of waiting for the test's time limit.
class SocketDeadline
{
public:
    explicit SocketDeadline(std::chrono::seconds limit = std::chrono::seconds(20))
        : thread(
              [this, limit]
              {
                  std::unique_lock lock(mutex);
                  if (!changed.wait_for(lock, limit, [this] { return over; }))
                      for (int descriptor : watched)
                          ::shutdown(descriptor, SHUT_RDWR);
              })
    {
    }
    ~SocketDeadline()
    {
        {
            std::lock_guard const lock(mutex);
            over = true;
        }
        changed.notify_one();
        thread.join();
    }
    SocketDeadline(SocketDeadline const &) = delete;
    SocketDeadline &operator=(SocketDeadline const &) = delete;

    void watch(int descriptor)
    {
        std::lock_guard const lock(mutex);
        watched.push_back(descriptor);
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> watched;
    bool over = false;
    std::thread thread; // last: it uses the members above
};

// The text of what the call threw, or "(accepted)" when it returned, so that a test compares an
// error text exactly in one expectation. Only Exception is caught: anything else thrown still
// fails the test.
template <typename Exception = std::exception, typename Call> std::string failureOf(Call &&call)
{
    try
    {
        call();
    }
    catch (Exception const &error)
    {
        return error.what();
    }
    return "(accepted)";
}

// What reading the text as a Message threw ("(accepted)" when nothing did).
template <typename Message> std::string errorOf(std::string const &text)
{
    return failureOf<std::runtime_error>([&] { Message message(text); });
}

// JSON arrays nested `levels` deep around `inner`.
inline std::string nestedArrays(std::size_t levels, std::string const &inner = "")
{
    return std::string(levels, '[') + inner + std::string(levels, ']');
}

// "127.0.0.1:4567", as the service writes endpoints in its log lines.
inline std::string toString(boost::asio::ip::tcp::endpoint const &endpoint)
{
    std::ostringstream out;
    out << endpoint;
    return out.str();
}

// One WebSocket frame, with the shortest length form: a client's is masked, with a key of zeros
// so that the payload stays legible; a server's is not.
inline std::string webSocketFrame(std::string const &payload, bool masked = true, bool fin = true,
                                  unsigned char opcode = 2)
{
    std::string frame(1, static_cast<char>((fin ? 0x80 : 0) | opcode));
    char const mask = masked ? static_cast<char>(0x80) : 0;
    std::size_t const size = payload.size();
    int const lengthBytes = size < 126 ? 0 : size < 65536 ? 2 : 8;
    frame += static_cast<char>(mask | (lengthBytes == 0 ? size : lengthBytes == 2 ? 126 : 127));
    for (int shift = 8 * (lengthBytes - 1); shift >= 0; shift -= 8)
        frame += static_cast<char>((size >> shift) & 0xff);
    if (masked)
        frame.append(4, '\0');
    return frame + payload;
}

// A resolver's answer for the host name.
inline boost::asio::ip::tcp::resolver::results_type
makeResults(std::string const &host, std::vector<boost::asio::ip::tcp::endpoint> const &endpoints)
{
    return boost::asio::ip::tcp::resolver::results_type::create(endpoints.begin(), endpoints.end(),
                                                                host, "");
}

// A loopback port that refuses connections: a socket bound to it that never listens. The port
// stays taken while the test holds it, so no test running beside this one can listen on it, and
// a connection to it cannot be given the same port as its own and so connect to itself.
class RefusingPort
{
public:
    explicit RefusingPort(boost::asio::io_context &io) : socket(io)
    {
        boost::asio::ip::tcp::endpoint const any(boost::asio::ip::address_v4::loopback(), 0);
        socket.open(any.protocol());
        socket.bind(any);
    }

    boost::asio::ip::tcp::endpoint endpoint() const { return socket.local_endpoint(); }

private:
    boost::asio::ip::tcp::socket socket;
};

} // namespace kelvarin::triggerTesting::testSupport
