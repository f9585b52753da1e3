#include "api/APISessionContainer.hpp"

#include "api/PeriodicResolver.hpp"
#include "support/DescriptorExhaustion.hpp"
#include "support/LoopTest.hpp"

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

class APISessionContainerTest : public LoopTest
{
protected:
    APISessionContainerTest()
        : container(APISessionFactory(
              io, [](ITestRequest &) {}, [](unsigned long) { return false; }, "api-all",
              APISession::Timings{20ms}))
    {
        for (auto const *address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"})
            servers.push_back(std::make_unique<FakeApiServer>(io, address));
    }

    // Results as a resolver hands them over for the all-API host name.
    void update(std::vector<std::size_t> const &indices)
    {
        std::vector<tcp::endpoint> endpoints;
        for (auto index : indices)
            endpoints.push_back(servers[index]->endpoint());
        updateSessions(container, makeResults("api-all", endpoints));
    }

    bool registered(std::size_t index)
    {
        return runUntil([&] { return !servers[index]->allReceived().empty(); });
    }

    APISessionContainer container;
    std::vector<std::unique_ptr<FakeApiServer>> servers;
};

TEST_F(APISessionContainerTest, SessionsFollowTheResolvedAddresses)
{
    update({0, 1, 2, 2});
    ASSERT_TRUE(registered(0) && registered(1) && registered(2));
    EXPECT_EQ(container.sessions.size(), 3u);
    EXPECT_EQ(servers[0]->newest().host, "api-all");

    std::weak_ptr<APISession> const removed = container.sessions.at(servers[1]->endpoint());
    auto const lines = log.lines().size();
    update({2, 0});
    EXPECT_EQ(log.linesStartingWith("Updating API list").size(), 2u);
    EXPECT_EQ(log.linesStartingWith("Added API "), Lines(3, "Added API api-all"));
    EXPECT_EQ(log.linesStartingWith("Removed API "),
              Lines{"Removed API " + toString(servers[1]->endpoint())});
    EXPECT_EQ(container.sessions.size(), 2u);
    // The stopped session ends silently, is released and does not come back; the others were
    // never dropped.
    ASSERT_TRUE(runUntil([&] { return !servers[1]->newest().open && removed.expired(); }));
    EXPECT_TRUE(neverWithin(
        [&]
        {
            return log.lines().size() != lines + 2 ||
                   std::any_of(servers.begin(), servers.end(),
                               [](auto &s) { return s->connectionCount() != 1; });
        }));
    EXPECT_TRUE(servers[0]->newest().open && servers[2]->newest().open);
}

TEST_F(APISessionContainerTest, EndpointWithoutSocketIsLeftForTheNextResolution)
{
    {
        DescriptorExhaustion exhausted;
        update({0});
    }
    EXPECT_TRUE(container.sessions.empty());
    EXPECT_EQ(log.linesStartingWith("Couldn't open a socket for API " +
                                    toString(servers[0]->endpoint()) + ": ")
                  .size(),
              1u);
    EXPECT_TRUE(log.linesStartingWith("Added API ").empty());
    update({0});
    EXPECT_TRUE(registered(0));
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
