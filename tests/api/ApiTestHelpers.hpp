#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kelvarin::triggerTesting::apiTest
{

// Runs the loop until the condition holds or the deadline passes; returns the condition.
template <typename Condition>
bool runUntil(boost::asio::io_context& io, Condition condition,
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

// Everything written to std::clog while it lives, split into lines.
class ClogCapture
{
public:
    ClogCapture() : previous(std::clog.rdbuf(captured.rdbuf())) {}
    ~ClogCapture() { std::clog.rdbuf(previous); }
    ClogCapture(ClogCapture const&) = delete;
    ClogCapture& operator=(ClogCapture const&) = delete;

    std::vector<std::string> lines() const
    {
        std::vector<std::string> result;
        std::istringstream in(captured.str());
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

    // Lines that begin with the prefix, in order.
    std::vector<std::string> linesStartingWith(std::string const& prefix) const
    {
        std::vector<std::string> result;
        for (auto const& line : lines())
            if (line.rfind(prefix, 0) == 0)
                result.push_back(line);
        return result;
    }

    std::size_t count(std::string const& line) const
    {
        auto const all = lines();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
    }

private:
    std::ostringstream captured;
    std::streambuf* previous;
};

inline std::string toString(boost::asio::ip::tcp::endpoint const& endpoint)
{
    std::ostringstream out;
    out << endpoint;
    return out.str();
}

inline boost::asio::ip::tcp::resolver::results_type
makeResults(std::string const& host, std::vector<boost::asio::ip::tcp::endpoint> const& endpoints)
{
    return boost::asio::ip::tcp::resolver::results_type::create(endpoints.begin(), endpoints.end(),
                                                                host, "");
}

// An endpoint that refuses connections: a port that was just free.
inline boost::asio::ip::tcp::endpoint refusingEndpoint(boost::asio::io_context& io)
{
    boost::asio::ip::tcp::acceptor probe(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    return probe.local_endpoint();
}

// Makes every new file descriptor fail with "Too many open files" until restored.
class DescriptorExhaustion
{
public:
    DescriptorExhaustion()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved);
        int const lowestFree = ::open("/dev/null", O_RDONLY);
        ::close(lowestFree);
        rlimit lowered = saved;
        lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorExhaustion() { restore(); }
    DescriptorExhaustion(DescriptorExhaustion const&) = delete;
    DescriptorExhaustion& operator=(DescriptorExhaustion const&) = delete;

    void restore() { ::setrlimit(RLIMIT_NOFILE, &saved); }

private:
    rlimit saved{};
};

} // namespace kelvarin::triggerTesting::apiTest
