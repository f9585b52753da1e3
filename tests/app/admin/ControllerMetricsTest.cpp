#include "app/admin/ControllerMetrics.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

using ::testing::Contains;
using ::testing::IsSupersetOf;

std::vector<std::string> exposed(ControllerMetrics &metrics, ControllerState const &state)
{
    std::vector<std::string> result;
    std::istringstream in(metrics.expose(state));
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

ControllerState::APISessionFigures apiSession(char const *address,
                                              std::shared_ptr<int> const &identity,
                                              std::size_t queued, std::uint64_t dropped)
{
    using namespace boost::asio::ip;
    return {tcp::endpoint(make_address(address), 10002), identity, true, queued, dropped};
}

// What the end-to-end scrape through Prometheus cannot see: the types, the reason and kind
// that its scenario does not make, and the start time as written.
TEST(ControllerMetrics, TypesEventsAndTheStateOfTheScrape)
{
    ControllerMetrics metrics(
        std::chrono::system_clock::time_point(std::chrono::seconds(1700000000)));
    metrics.countDisconnection(timeout);
    metrics.countDisconnection(timeout);
    metrics.countReply(Reply({}, Error(Error::UNKNOWN, "Duplicated message ID")));
    ControllerState state;
    state.validationsPending = 2;
    state.reportsBacklog = 11;
    state.reportsDropped = 3;
    state.validationsQueued = 5;
    state.validationsDropped = 4;
    EXPECT_THAT(
        exposed(metrics, state),
        IsSupersetOf({"# TYPE tt_controller_device_connections gauge",
                      "# TYPE tt_controller_admissions_total counter",
                      "# TYPE tt_controller_tests_running gauge",
                      "# TYPE tt_controller_replies_total counter",
                      "tt_controller_device_disconnections_total{reason=\"timeout\"} 2",
                      "tt_controller_device_disconnections_total{reason=\"clean\"} 0",
                      "tt_controller_replies_total{kind=\"unknown\"} 1",
                      "tt_controller_validations_pending 2", "tt_controller_reports_backlog 11",
                      "tt_controller_reports_dropped_total 3",
                      "# TYPE tt_controller_validations_dropped_total counter",
                      "tt_controller_validations_dropped_total 4",
                      "tt_controller_validations_queued 5",
                      "tt_controller_start_time_seconds 1700000000"}));
}

TEST(ControllerMetrics, APISessionSeriesComeAndGoWithTheirSessions)
{
    ControllerMetrics metrics;
    auto const first = std::make_shared<int>();
    ControllerState state;
    state.apiSessions = {apiSession("127.0.0.2", first, 120, 3),
                         apiSession("127.0.0.3", std::make_shared<int>(), 4096, 0)};
    EXPECT_THAT(
        exposed(metrics, state),
        IsSupersetOf({"# TYPE tt_controller_api_dropped_messages_total counter",
                      "tt_controller_api_queued_bytes{endpoint=\"127.0.0.2:10002\"} 120",
                      "tt_controller_api_queued_bytes{endpoint=\"127.0.0.3:10002\"} 4096",
                      "tt_controller_api_dropped_messages_total{endpoint=\"127.0.0.2:10002\"} 3"}));

    // The session goes on dropping; the other one has left the pool.
    state.apiSessions = {apiSession("127.0.0.2", first, 0, 5)};
    auto const lines = exposed(metrics, state);
    EXPECT_THAT(lines, Contains("tt_controller_api_dropped_messages_total{endpoint="
                                "\"127.0.0.2:10002\"} 5"));
    for (auto const &line : lines)
        EXPECT_EQ(line.find("127.0.0.3"), std::string::npos) << line;

    // A new session at the same endpoint counts its own drops, from zero.
    state.apiSessions = {apiSession("127.0.0.2", std::make_shared<int>(), 0, 1)};
    EXPECT_THAT(
        exposed(metrics, state),
        Contains("tt_controller_api_dropped_messages_total{endpoint=\"127.0.0.2:10002\"} 1"));
}

} // namespace
} // namespace kelvarin::triggerTesting
