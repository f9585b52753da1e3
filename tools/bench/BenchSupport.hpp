#pragma once

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Small helpers the benchmark's phases share.
namespace kelvarin::triggerTesting::bench
{

// The soft descriptor limit, and raising it to the hard one (children inherit it).
std::size_t descriptorLimit();
void raiseDescriptorLimit();

// A port free at the moment, from below the range the kernel hands out on its own: until the
// program under test binds it, no connection of a process running beside the bench can be
// given it as its own port, nor can a listener bound to port 0.
unsigned short freePort();

// The configuration section that opens the controller's metrics endpoint on 127.0.0.1.
std::string metricsSection(unsigned short port);

double toSeconds(std::int64_t nanoseconds);
// The blank-separated words of a line a child process wrote.
std::vector<std::string> words(std::string const &line);

// Waits on the event loop, which goes on serving the other connections meanwhile.
void pauseFor(boost::asio::io_context &io, std::chrono::steady_clock::duration span,
              boost::asio::yield_context yield);
// A progress line on standard error.
void say(std::string const &text);

} // namespace kelvarin::triggerTesting::bench
