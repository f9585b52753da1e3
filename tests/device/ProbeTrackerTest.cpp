#include "device/ProbeTracker.hpp"

#include "device/ProbeSession.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

namespace kelvarin::triggerTesting
{
namespace
{

// Sessions that are never started all carry unit id 0.
class ProbeTrackerTest : public ::testing::Test
{
protected:
    std::shared_ptr<ProbeSession> makeSession()
    {
        return std::make_shared<ProbeSession>(io.get_executor(), validateFn, resultFn, reportFn,
                                              tracker, ProbeSession::Timeouts{});
    }

    boost::asio::io_context io;
    ProbeSession::ValidateFn validateFn;
    ProbeSession::TestResultFn resultFn;
    ProbeSession::ReportDisconnectFn reportFn;
    ProbeTracker tracker;
};

TEST_F(ProbeTrackerTest, EntryOfVanishedSessionStaysButYieldsNothing)
{
    auto session = makeSession();
    tracker.addProbe(session);
    session.reset();
    EXPECT_TRUE(tracker.hasProbe(0));
    EXPECT_EQ(tracker.getProbe(0), nullptr);
    EXPECT_FALSE(tracker.hasProbe(1));
}

} // namespace
} // namespace kelvarin::triggerTesting
