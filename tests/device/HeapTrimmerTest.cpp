#include "device/HeapTrimmer.hpp"

#include "device/ProbeSession.hpp"
#include "device/ProbeTracker.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

// Records the device count at every trim.
struct TrimLog
{
    std::vector<std::size_t> counts;
    std::size_t current = 0;
};

HeapTrimmer recordingTrimmer(TrimLog &log)
{
    return HeapTrimmer([&log] { log.counts.push_back(log.current); });
}

void note(HeapTrimmer &trimmer, TrimLog &log, std::size_t count)
{
    log.current = count;
    trimmer.noteCount(count);
}

TEST(HeapTrimmerTest, trimsOncePerHalvingWhileAFleetLeaves)
{
    TrimLog log;
    auto trimmer = recordingTrimmer(log);
    for (std::size_t count = 1; count <= 100; ++count)
        note(trimmer, log, count);
    EXPECT_TRUE(log.counts.empty());
    for (std::size_t count = 100; count-- > 0;)
        note(trimmer, log, count);
    EXPECT_EQ(log.counts, (std::vector<std::size_t>{50, 25, 12, 6, 3, 1, 0}));
}

TEST(HeapTrimmerTest, aFleetThatGrowsAgainStartsANewPeak)
{
    TrimLog log;
    auto trimmer = recordingTrimmer(log);
    note(trimmer, log, 10);
    note(trimmer, log, 5);
    note(trimmer, log, 40);
    note(trimmer, log, 21);
    EXPECT_EQ(log.counts, (std::vector<std::size_t>{5}));
    note(trimmer, log, 20);
    EXPECT_EQ(log.counts, (std::vector<std::size_t>{5, 20}));
}

TEST(HeapTrimmerTest, nothingHeldNothingToTrim)
{
    TrimLog log;
    auto trimmer = recordingTrimmer(log);
    note(trimmer, log, 0);
    EXPECT_TRUE(log.counts.empty());
}

TEST(HeapTrimmerTest, theTrackerTrimsWhenItsLastDeviceLeaves)
{
    TrimLog log;
    ProbeTracker tracker(recordingTrimmer(log));
    boost::asio::io_context io;
    ProbeSession::ValidateFn validateFn;
    ProbeSession::TestResultFn resultFn;
    auto session = std::make_shared<ProbeSession>(io.get_executor(), validateFn, resultFn,
                                                  ProbeSession::ReportDisconnectFn{}, tracker,
                                                  ProbeSession::Timeouts{});
    tracker.addProbe(session);
    EXPECT_TRUE(log.counts.empty());
    tracker.removeProbe(session->getUnitId(), session);
    EXPECT_EQ(log.counts, (std::vector<std::size_t>{0}));
    tracker.removeProbe(session->getUnitId(), session);
    EXPECT_EQ(log.counts.size(), 1u) << "removing what is gone trims nothing";
}

} // namespace
} // namespace kelvarin::triggerTesting
