#include "DeviceSideFixture.hpp"

#include <sys/resource.h>
#include <unistd.h>

namespace kelvarin::triggerTesting::test
{
namespace
{

// Lowers the soft descriptor limit so that the process cannot open one more descriptor, and
// puts the old limit back when it goes.
class DescriptorExhaustion
{
public:
    DescriptorExhaustion()
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        // New descriptors take the lowest free number: a limit at that number blocks them all.
        int const lowestFree = dup(0);
        close(lowestFree);
        rlimit lowered = saved;
        lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    ~DescriptorExhaustion() { restore(); }
    DescriptorExhaustion(DescriptorExhaustion const &) = delete;
    DescriptorExhaustion &operator=(DescriptorExhaustion const &) = delete;

    void restore() { setrlimit(RLIMIT_NOFILE, &saved); }

private:
    rlimit saved{};
};

class ProbeServerTest : public DeviceSideTest
{
protected:
    void SetUp() override
    {
        std::vector<tcp::acceptor> acceptors;
        acceptors.push_back(listenOn(io, "127.0.0.1"));
        acceptors.push_back(listenOn(io, "::1"));
        v4 = acceptors[0].local_endpoint();
        v6 = acceptors[1].local_endpoint();
        startDeviceSide(std::move(acceptors), {});
    }

    tcp::endpoint v4;
    tcp::endpoint v6;
};

TEST_F(ProbeServerTest, BothListeningSocketsFeedOneRegistry)
{
    auto overV4 = validatedDevice(1, v4);
    auto overV6 = validatedDevice(2, v6);
    EXPECT_TRUE(manager->isUnitOnline(1));
    EXPECT_TRUE(manager->isUnitOnline(2));

    // Several devices arriving at once on one socket each get their own session.
    std::vector<std::unique_ptr<FakeDevice>> crowd;
    for (int i = 0; i < 3; ++i)
    {
        crowd.push_back(std::make_unique<FakeDevice>(io));
        crowd.back()->connect(v6);
    }
    ASSERT_TRUE(runUntil(
        [&] {
            return std::all_of(crowd.begin(), crowd.end(),
                               [](auto &d) { return d->isConnected(); });
        }));
    for (std::size_t i = 0; i < crowd.size(); ++i)
        crowd[i]->send(FakeDevice::registerMessage(10 + i, testMac));
    ASSERT_TRUE(runUntil([&] { return validations.size() == 5; }));
    for (auto &validation : validations)
        validation.answer(true);
    for (unsigned long unitId : {1ul, 2ul, 10ul, 11ul, 12ul})
        EXPECT_TRUE(manager->isUnitOnline(unitId)) << unitId;
}

TEST_F(ProbeServerTest, AcceptFailuresForLackOfDescriptorsAreSpacedAndAcceptingResumes)
{
    std::string const v4Failure = "[ProbeServer] Error listening in 127.0.0.1: Too many open files";
    std::string const v6Failure = "[ProbeServer] Error listening in ::1: Too many open files";
    // The clients' descriptors exist before the limit is lowered; only the accepts run short.
    tcp::socket clientV4(io, tcp::v4());
    tcp::socket clientV6(io, tcp::v6());
    auto const start = std::chrono::steady_clock::now();
    {
        DescriptorExhaustion exhaustion;
        clientV4.connect(v4);
        clientV6.connect(v6);
        ASSERT_TRUE(
            runUntil([&] { return log.count(v4Failure) >= 6 && log.count(v6Failure) >= 6; }));
        // Retries after 5, 10, 20, 40 and 80 ms instead of one after another.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(155));
        auto const lines = log.lines();
        EXPECT_EQ(lines.size(),
                  static_cast<std::size_t>(log.count(v4Failure) + log.count(v6Failure)));
        EXPECT_LE(lines.size(), 16u);
    }

    // With descriptors back, the waiting connections and new devices are taken.
    auto device = validatedDevice(5, v4);
    EXPECT_TRUE(manager->isUnitOnline(5));
    auto const failures = log.count(v4Failure) + log.count(v6Failure);
    auto again = validatedDevice(6, v6);
    EXPECT_TRUE(manager->isUnitOnline(6));
    EXPECT_EQ(log.count(v4Failure) + log.count(v6Failure), failures);
}

} // namespace
} // namespace kelvarin::triggerTesting::test
