#include "api/APISessionContainer.hpp"
#include "api/PeriodicResolver.hpp"

#include "ApiTestHelpers.hpp"
#include "support/FakeApiServer.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::chrono_literals;
using apiTest::ClogCapture;
using apiTest::runUntil;
using apiTest::toString;
using boost::asio::ip::tcp;
using testSupport::FakeApiServer;

constexpr char const* allHostname = "api-all.example.test";

// Result sets as a resolver would hand them over for the all-API host name.
tcp::resolver::results_type resultsOf(std::vector<tcp::endpoint> const& endpoints)
{
    return apiTest::makeResults(allHostname, endpoints);
}

class APISessionContainerTest : public ::testing::Test
{
protected:
    APISessionContainerTest()
        : container(APISessionFactory(io, [](ITestRequest&) {}, [](unsigned long) { return false; },
                                      allHostname, APISession::Timings{20ms}))
    {
        for (auto const* address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"})
            servers.push_back(std::make_unique<FakeApiServer>(io, address));
    }

    bool allRegistered()
    {
        return runUntil(io,
                        [&]
                        {
                            for (auto const& server : servers)
                                if (server->allReceived().empty())
                                    return false;
                            return true;
                        });
    }

    boost::asio::io_context io;
    ClogCapture log;
    APISessionContainer container;
    std::vector<std::unique_ptr<FakeApiServer>> servers;
};

TEST_F(APISessionContainerTest, ThreeAddressesGiveThreeSessionsNamedByTheHostName)
{
    updateSessions(container, resultsOf({servers[0]->endpoint(), servers[1]->endpoint(),
                                         servers[2]->endpoint()}));

    ASSERT_TRUE(allRegistered());
    EXPECT_EQ(container.sessions.size(), 3u);
    EXPECT_EQ(log.linesStartingWith("Updating API list"),
              std::vector<std::string>{"Updating API list"});
    EXPECT_EQ(log.linesStartingWith("Added API "),
              std::vector<std::string>(3, std::string("Added API ") + allHostname));
    for (auto const& server : servers)
        EXPECT_EQ(server->newest().host, allHostname);
}

TEST_F(APISessionContainerTest, MissingAddressStopsItsSessionOnly)
{
    updateSessions(container, resultsOf({servers[0]->endpoint(), servers[1]->endpoint(),
                                         servers[2]->endpoint()}));
    ASSERT_TRUE(allRegistered());

    updateSessions(container, resultsOf({servers[2]->endpoint(), servers[0]->endpoint()}));

    EXPECT_EQ(log.linesStartingWith("Removed API "),
              std::vector<std::string>{"Removed API " + toString(servers[1]->endpoint())});
    EXPECT_EQ(log.linesStartingWith("Added API ").size(), 3u);
    ASSERT_EQ(container.sessions.size(), 2u);
    EXPECT_TRUE(container.sessions.contains(servers[0]->endpoint()));
    EXPECT_TRUE(container.sessions.contains(servers[2]->endpoint()));
    ASSERT_TRUE(runUntil(io, [&] { return !servers[1]->newest().open; }));
    // The stopped session does not come back, and the others were never dropped.
    runUntil(io, [] { return false; }, 100ms);
    EXPECT_EQ(servers[1]->connectionCount(), 1u);
    EXPECT_TRUE(servers[0]->newest().open);
    EXPECT_TRUE(servers[2]->newest().open);
    EXPECT_EQ(servers[0]->connectionCount(), 1u);
    EXPECT_EQ(servers[2]->connectionCount(), 1u);
}

TEST_F(APISessionContainerTest, EndpointNamedTwiceGetsOneSession)
{
    auto const endpoint = servers[0]->endpoint();
    updateSessions(container, resultsOf({endpoint, endpoint}));

    EXPECT_EQ(container.sessions.size(), 1u);
    EXPECT_EQ(log.linesStartingWith("Added API ").size(), 1u);
}

TEST_F(APISessionContainerTest, EndpointWithoutSocketIsLeftForTheNextResolution)
{
    auto const results = resultsOf({servers[0]->endpoint()});
    {
        apiTest::DescriptorExhaustion exhausted;
        updateSessions(container, results);
    }
    EXPECT_TRUE(container.sessions.empty());
    EXPECT_EQ(log.linesStartingWith("Couldn't open a socket for API " +
                                    toString(servers[0]->endpoint()) + ": ")
                  .size(),
              1u);
    EXPECT_TRUE(log.linesStartingWith("Added API ").empty());

    updateSessions(container, results);
    EXPECT_EQ(container.sessions.size(), 1u);
    EXPECT_TRUE(runUntil(io, [&] { return !servers[0]->allReceived().empty(); }));
}

TEST(PeriodicResolverTest, HandsEveryAnswerOnAtItsInterval)
{
    boost::asio::io_context io;
    std::vector<std::vector<tcp::endpoint>> answers;
    PeriodicResolver resolver(io, "127.0.0.5", "10002", 1s,
                              [&](PeriodicResolver::Results const& results)
                              {
                                  answers.emplace_back();
                                  for (auto const& entry : results)
                                      answers.back().push_back(entry.endpoint());
                              });
    resolver.start();

    ASSERT_TRUE(runUntil(io, [&] { return answers.size() >= 2; }, 5s));
    for (auto const& answer : answers)
        EXPECT_EQ(answer, std::vector<tcp::endpoint>{
                              tcp::endpoint(boost::asio::ip::make_address("127.0.0.5"), 10002)});
}

} // namespace
} // namespace kelvarin::triggerTesting
