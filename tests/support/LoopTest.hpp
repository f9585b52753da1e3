#pragma once

#include "support/ClogCapture.hpp"
#include "support/FakeApiServer.hpp"
#include "support/Helpers.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::testSupport
{

// A test that runs the service on one event loop and reads what it logs. The members of a
// derived fixture go before the loop and the log do: what they log on their way out is read.
class LoopTest : public ::testing::Test
{
protected:
    bool runUntil(std::function<bool()> const &done,
                  std::chrono::steady_clock::duration timeout = std::chrono::seconds(5))
    {
        return testSupport::runUntil(io, done, timeout);
    }

    // For what must not happen: runs the loop for a while, and true unless it happened.
    bool neverWithin(std::function<bool()> const &happened,
                     std::chrono::steady_clock::duration timeout = std::chrono::milliseconds(100))
    {
        return !runUntil(happened, timeout);
    }

    bool waitForMessages(FakeApiServer const &server, std::size_t count)
    {
        return runUntil([&] { return server.allReceived().size() >= count; });
    }

    bool waitForLog(std::string const &line, std::size_t times = 1)
    {
        return runUntil([&] { return log.count(line) >= times; });
    }

    boost::asio::io_context io;
    ClogCapture log;
};

} // namespace kelvarin::triggerTesting::testSupport
