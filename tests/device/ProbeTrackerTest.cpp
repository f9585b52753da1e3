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
    boost::asio::io_context io; // outlives the tracker's streams
    ProbeTracker tracker(HeapTrimmer([&] { ++trims; }));
    ProbeSession::ValidateFn validateFn;
    ProbeSession::TestResultFn resultFn;
    ProbeSession::ReportDisconnectFn const reportFn;
    auto session = std::make_shared<ProbeSession>(io.get_executor(), validateFn, resultFn, reportFn,
                                                  tracker, ProbeSession::Timeouts{});
    tracker.addProbe(session);
    EXPECT_EQ(tracker.getProbe(0), session);
    // A free stream kept for the next borrower goes with the trim.
    DeviceStreamPool::Socket socket(io.get_executor());
    FrameBoundary frames;
    tracker.streams().giveBack(
        tracker.streams().lend(io.get_executor(), socket, frames, std::chrono::seconds(1)));
    EXPECT_EQ(tracker.streams().freeStreams(), 1u);
    tracker.removeProbe(0, session);
    EXPECT_FALSE(tracker.hasProbe(0));
    EXPECT_EQ(trims, 1u);
    EXPECT_EQ(tracker.streams().freeStreams(), 0u);

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
        trimmer.noteCount(count = n, [] {});
    EXPECT_EQ(trims, (std::vector<std::size_t>{50, 25, 20, 1, 0}));
}

} // namespace
} // namespace kelvarin::triggerTesting
