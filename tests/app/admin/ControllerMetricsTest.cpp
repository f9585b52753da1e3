#include "app/admin/ControllerMetrics.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using ::testing::HasSubstr;

ControllerState::APISessionFigures apiSession(char const *address, bool registered,
                                              std::size_t queued, std::uint64_t dropped)
{
    using namespace boost::asio::ip;
    return {tcp::endpoint(make_address(address), 10002), registered, queued, dropped};
}

// A state made by hand, as its exposition reads: names, help texts, types, labels and values
// of the families the end-to-end scrape through Prometheus cannot tell apart.
TEST(ControllerMetrics, AStateReadsAsItsExposition)
{
    ControllerState state;
    state.startTime = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    state.validatorConnected = true;
    state.reportsBacklog = 11;
    state.apiSessions = {apiSession("127.0.0.2", true, 120, 3),
                         apiSession("127.0.0.3", false, 4096, 0)};
    state.totals.disconnectionsTimeout = 2;
    state.totals.repliesUnknown = 1;
    state.totals.admissionsAccepted = 18446744073709551615UL;
    state.totals.validationsDropped = 4;
    auto const text = expositionText(ControllerMetrics([&] { return state; }));

    for (auto const *family : {
             "# HELP tt_controller_admissions_total Validator answers told to devices still "
             "connected, by answer.\n"
             "# TYPE tt_controller_admissions_total counter\n"
             "tt_controller_admissions_total{answer=\"refused\"} 0\n"
             "tt_controller_admissions_total{answer=\"accepted\"} 1.844674407370955e+19\n",
             "# TYPE tt_controller_device_disconnections_total counter\n"
             "tt_controller_device_disconnections_total{reason=\"timeout\"} 2\n"
             "tt_controller_device_disconnections_total{reason=\"clean\"} 0\n",
             "# TYPE tt_controller_replies_total counter\n"
             "tt_controller_replies_total{kind=\"unreachable\"} 0\n"
             "tt_controller_replies_total{kind=\"unknown\"} 1\n"
             "tt_controller_replies_total{kind=\"result\"} 0\n",
             "# TYPE tt_controller_api_dropped_messages_total counter\n"
             "tt_controller_api_dropped_messages_total{endpoint=\"127.0.0.2:10002\"} 3\n"
             "tt_controller_api_dropped_messages_total{endpoint=\"127.0.0.3:10002\"} 0\n",
             "# HELP tt_controller_validations_dropped_total Validation requests not queued for "
             "the validator because the queue was full; they are asked again on the next "
             "connection.\n"
             "# TYPE tt_controller_validations_dropped_total counter\n"
             "tt_controller_validations_dropped_total 4\n",
             "# TYPE tt_controller_api_sessions gauge\n"
             "tt_controller_api_sessions{state=\"connecting\"} 1\n"
             "tt_controller_api_sessions{state=\"registered\"} 1\n",
             "# TYPE tt_controller_api_queued_bytes gauge\n"
             "tt_controller_api_queued_bytes{endpoint=\"127.0.0.2:10002\"} 120\n"
             "tt_controller_api_queued_bytes{endpoint=\"127.0.0.3:10002\"} 4096\n",
             "# TYPE tt_controller_validator_connected gauge\n"
             "tt_controller_validator_connected 1\n",
             "# TYPE tt_controller_reports_backlog gauge\n"
             "tt_controller_reports_backlog 11\n",
             "# HELP tt_controller_start_time_seconds Start time of the controller since the Unix "
             "epoch, in seconds.\n"
             "# TYPE tt_controller_start_time_seconds gauge\n"
             "tt_controller_start_time_seconds 1700000000\n",
         })
        EXPECT_THAT(text, HasSubstr(family));
    // Counters first, then gauges; the start time last.
    EXPECT_EQ(text.find("# HELP tt_controller_admissions_total"), 0U);
    EXPECT_TRUE(text.ends_with("\ntt_controller_start_time_seconds 1700000000\n"));
}

} // namespace
} // namespace kelvarin::triggerTesting
