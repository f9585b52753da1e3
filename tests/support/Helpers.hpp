#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::testSupport
{

// What a peer received or the service logged, in order.
using Lines = std::vector<std::string>;

// Messages as a session queues and hands them over, shared, and their texts.
inline std::vector<std::shared_ptr<std::string const>> sharedTexts(Lines const &texts)
{
    std::vector<std::shared_ptr<std::string const>> shared;
    for (auto const &text : texts)
        shared.push_back(std::make_shared<std::string const>(text));
    return shared;
}

inline Lines textsOf(std::vector<std::shared_ptr<std::string const>> const &shared)
{
    Lines texts;
    for (auto const &text : shared)
        texts.push_back(*text);
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
