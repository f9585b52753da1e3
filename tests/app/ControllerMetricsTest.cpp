#include "app/ControllerMetrics.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace kelvarin::triggerTesting::test
{
namespace
{

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using ::testing::Contains;
using ::testing::IsSupersetOf;
using ::testing::Not;

std::vector<std::string> lines(std::string const& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

ControllerState::APISessionFigures apiSession(char const* address,
                                              std::shared_ptr<int> const& identity,
                                              bool registered, std::size_t queued,
                                              std::uint64_t dropped)
{
    return {tcp::endpoint(make_address(address), 10002), identity, registered, queued, dropped};
}

TEST(ControllerMetrics, EveryMetricHasItsNameTypeAndLabelsFromTheStart)
{
    ControllerMetrics metrics;
    auto const exposed = lines(metrics.expose({}));
    EXPECT_THAT(exposed, IsSupersetOf({
                             "# TYPE tt_controller_device_connections gauge",
                             "# TYPE tt_controller_devices_online gauge",
                             "# TYPE tt_controller_validations_pending gauge",
                             "# TYPE tt_controller_admissions_total counter",
                             "# TYPE tt_controller_device_disconnections_total counter",
                             "# TYPE tt_controller_tests_received_total counter",
                             "# TYPE tt_controller_tests_running gauge",
                             "# TYPE tt_controller_replies_total counter",
                             "# TYPE tt_controller_api_sessions gauge",
                             "# TYPE tt_controller_validator_connected gauge",
                             "# TYPE tt_controller_reports_backlog gauge",
                             "# TYPE tt_controller_start_time_seconds gauge",
                             // Series with labels exist before their first event.
                             "tt_controller_admissions_total{answer=\"accepted\"} 0",
                             "tt_controller_admissions_total{answer=\"refused\"} 0",
                             "tt_controller_device_disconnections_total{reason=\"clean\"} 0",
                             "tt_controller_device_disconnections_total{reason=\"timeout\"} 0",
                             "tt_controller_replies_total{kind=\"result\"} 0",
                             "tt_controller_replies_total{kind=\"unreachable\"} 0",
                             "tt_controller_replies_total{kind=\"unknown\"} 0",
                             "tt_controller_api_sessions{state=\"registered\"} 0",
                             "tt_controller_api_sessions{state=\"connecting\"} 0",
                         }));
}

TEST(ControllerMetrics, CountersFollowTheirEvents)
{
    ControllerMetrics metrics;
    metrics.countAdmission(true);
    metrics.countAdmission(true);
    metrics.countAdmission(false);
    metrics.countDisconnection(clean);
    metrics.countDisconnection(timeout);
    metrics.countDisconnection(timeout);
    metrics.countTestReceived();
    boost::uuids::uuid const id{};
    metrics.countReply(Reply(id, Result("{}", false)));
    metrics.countReply(Reply(id, Result("{}", true)));
    metrics.countReply(Reply(id, Error(Error::UNREACHABLE, "")));
    metrics.countReply(Reply(id, Error(Error::UNKNOWN, "Duplicated message ID")));
    metrics.countReply(Reply(id, Error(Error::UNKNOWN, "")));
    metrics.countReply(Reply(id, Error(Error::UNKNOWN, "")));
    EXPECT_THAT(lines(metrics.expose({})),
                IsSupersetOf({
                    "tt_controller_admissions_total{answer=\"accepted\"} 2",
                    "tt_controller_admissions_total{answer=\"refused\"} 1",
                    "tt_controller_device_disconnections_total{reason=\"clean\"} 1",
                    "tt_controller_device_disconnections_total{reason=\"timeout\"} 2",
                    "tt_controller_tests_received_total 1",
                    "tt_controller_replies_total{kind=\"result\"} 2",
                    "tt_controller_replies_total{kind=\"unreachable\"} 1",
                    "tt_controller_replies_total{kind=\"unknown\"} 3",
                }));
}

TEST(ControllerMetrics, GaugesShowTheStateOfTheScrape)
{
    ControllerMetrics metrics(std::chrono::system_clock::time_point(std::chrono::seconds(1700000000)));
    ControllerState state;
    state.deviceConnections = 7;
    state.devicesOnline = 5;
    state.validationsPending = 2;
    state.testsRunning = 3;
    state.validatorConnected = true;
    state.reportsBacklog = 11;
    auto const a = std::make_shared<int>();
    auto const b = std::make_shared<int>();
    auto const c = std::make_shared<int>();
    state.apiSessions = {apiSession("127.0.0.2", a, true, 0, 0),
                         apiSession("127.0.0.3", b, false, 0, 0),
                         apiSession("127.0.0.4", c, true, 0, 0)};
    EXPECT_THAT(lines(metrics.expose(state)),
                IsSupersetOf({
                    "tt_controller_device_connections 7",
                    "tt_controller_devices_online 5",
                    "tt_controller_validations_pending 2",
                    "tt_controller_tests_running 3",
                    "tt_controller_validator_connected 1",
                    "tt_controller_reports_backlog 11",
                    "tt_controller_api_sessions{state=\"registered\"} 2",
                    "tt_controller_api_sessions{state=\"connecting\"} 1",
                    "tt_controller_start_time_seconds 1700000000",
                }));
    EXPECT_THAT(lines(metrics.expose({})),
                IsSupersetOf({"tt_controller_device_connections 0",
                              "tt_controller_validator_connected 0",
                              "tt_controller_api_sessions{state=\"registered\"} 0",
                              "tt_controller_api_sessions{state=\"connecting\"} 0"}));
}

TEST(ControllerMetrics, APISessionSeriesComeAndGoWithTheirSessions)
{
    ControllerMetrics metrics;
    auto const first = std::make_shared<int>();
    auto const other = std::make_shared<int>();
    ControllerState state;
    state.apiSessions = {apiSession("127.0.0.2", first, true, 120, 3),
                         apiSession("127.0.0.3", other, false, 4096, 0)};
    EXPECT_THAT(lines(metrics.expose(state)),
                IsSupersetOf({
                    "# TYPE tt_controller_api_queued_bytes gauge",
                    "# TYPE tt_controller_api_dropped_messages_total counter",
                    "tt_controller_api_queued_bytes{endpoint=\"127.0.0.2:10002\"} 120",
                    "tt_controller_api_queued_bytes{endpoint=\"127.0.0.3:10002\"} 4096",
                    "tt_controller_api_dropped_messages_total{endpoint=\"127.0.0.2:10002\"} 3",
                    "tt_controller_api_dropped_messages_total{endpoint=\"127.0.0.3:10002\"} 0",
                }));

    // The session goes on dropping; the other one has left the pool.
    state.apiSessions = {apiSession("127.0.0.2", first, true, 0, 5)};
    auto exposed = lines(metrics.expose(state));
    EXPECT_THAT(exposed, Contains(
                             "tt_controller_api_dropped_messages_total{endpoint=\"127.0.0.2:10002\"} 5"));
    EXPECT_THAT(exposed,
                Contains("tt_controller_api_queued_bytes{endpoint=\"127.0.0.2:10002\"} 0"));
    EXPECT_THAT(exposed,
                Not(Contains("tt_controller_api_queued_bytes{endpoint=\"127.0.0.3:10002\"} 4096")));
    EXPECT_THAT(exposed, Not(Contains("tt_controller_api_dropped_messages_total{endpoint="
                                      "\"127.0.0.3:10002\"} 0")));

    // A new session at the same endpoint counts its own drops, from zero.
    auto const next = std::make_shared<int>();
    state.apiSessions = {apiSession("127.0.0.2", next, false, 0, 1)};
    EXPECT_THAT(lines(metrics.expose(state)),
                Contains("tt_controller_api_dropped_messages_total{endpoint=\"127.0.0.2:10002\"} 1"));
}

} // namespace
} // namespace kelvarin::triggerTesting::test
