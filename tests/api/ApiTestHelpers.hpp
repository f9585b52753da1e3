#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "support/ClogCapture.hpp"

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

using ClogCapture = testSupport::ClogCapture;

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
