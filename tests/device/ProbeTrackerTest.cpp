#include "device/ProbeTracker.hpp"

#include "device/HeapTrimmer.hpp"
#include "device/ProbeSession.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

// A session that is never started carries unit id 0.
TEST(ProbeTrackerTest, TheLastToLeaveTrimsAndAVanishedSessionYieldsNothing)
{
    std::size_t trims = 0;
    ProbeTracker tracker(HeapTrimmer([&] { ++trims; }));
    boost::asio::io_context io;
    ProbeSession::ValidateFn validateFn;
    ProbeSession::TestResultFn resultFn;
    ProbeSession::ReportDisconnectFn const reportFn;
    auto session = std::make_shared<ProbeSession>(io.get_executor(), validateFn, resultFn, reportFn,
                                                  tracker, ProbeSession::Timeouts{});
    tracker.addProbe(session);
    EXPECT_EQ(tracker.getProbe(0), session);
    tracker.removeProbe(0, session);
    EXPECT_FALSE(tracker.hasProbe(0));
    EXPECT_EQ(trims, 1u);

    tracker.addProbe(session);
    session.reset();
    EXPECT_TRUE(tracker.hasProbe(0));
    EXPECT_EQ(tracker.getProbe(0), nullptr);
}

TEST(HeapTrimmerTest, TrimsOncePerHalvingSinceThePeak)
{
    std::vector<std::size_t> trims;
    std::size_t count = 0;
    HeapTrimmer trimmer([&] { trims.push_back(count); });
    for (std::size_t n : {0, 1, 100, 51, 50, 26, 25, 40, 21, 20, 1, 0})
        trimmer.noteCount(count = n);
    EXPECT_EQ(trims, (std::vector<std::size_t>{50, 25, 20, 1, 0}));
}

} // namespace
} // namespace kelvarin::triggerTesting
