#pragma once

#include "common/LogBuffer.hpp"

#include <boost/asio/io_context.hpp>

namespace kelvarin::triggerTesting
{

// Lines are gathered per turn of the event loop while it exists; whatever is left is written
// before it goes.
class GatheredWhileRunning
{
public:
    GatheredWhileRunning(LogBuffer &buffer, boost::asio::io_context &io) : buffer(buffer)
    {
        buffer.attach(io);
    }
    ~GatheredWhileRunning() { buffer.detach(); }
    GatheredWhileRunning(GatheredWhileRunning const &) = delete;
    GatheredWhileRunning &operator=(GatheredWhileRunning const &) = delete;

private:
    LogBuffer &buffer;
};

} // namespace kelvarin::triggerTesting
