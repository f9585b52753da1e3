#include "bench/BenchSupport.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;
using net::ip::tcp;

std::size_t descriptorLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

void raiseDescriptorLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

unsigned short freePort()
{
    constexpr unsigned short low = 10000;
    unsigned short high = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> high;
    high = std::max<unsigned short>(high, low + 1000);
    std::random_device seed;
    std::uniform_int_distribution<unsigned short> pick(low, high - 1);
    net::io_context scratch;
    for (int attempt = 0; attempt < 200; ++attempt)
    {
        tcp::acceptor probe(scratch);
        boost::system::error_code ec;
        probe.open(tcp::v4(), ec);
        probe.bind(tcp::endpoint(tcp::v4(), pick(seed)), ec);
        if (!ec)
            return probe.local_endpoint().port();
    }
    throw std::runtime_error("no free port");
}

std::string metricsSection(unsigned short port)
{
    return "[metrics]\nlisten=127.0.0.1:" + std::to_string(port) + "\n";
}

double toSeconds(std::int64_t nanoseconds)
{
    return static_cast<double>(nanoseconds) / 1e9;
}

std::vector<std::string> words(std::string const &line)
{
    std::istringstream in(line);
    std::vector<std::string> result;
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

void pauseFor(net::io_context &io, std::chrono::steady_clock::duration span,
              net::yield_context yield)
{
    net::steady_timer timer(io);
    timer.expires_after(span);
    boost::system::error_code ignored;
    timer.async_wait(yield[ignored]);
}

void say(std::string const &text)
{
    std::cerr << "[bench] " << text << std::endl;
}

} // namespace kelvarin::triggerTesting::bench
