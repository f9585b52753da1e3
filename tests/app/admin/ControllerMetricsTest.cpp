#include "app/admin/ControllerMetrics.hpp"

#include "app/ControllerState.hpp"
#include "app/admin/ExpositionCache.hpp"

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
    state.totals.reportsDropped = 5;
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
             "# TYPE tt_controller_reports_dropped_total counter\n"
             "tt_controller_reports_dropped_total 5\n",
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

TEST(ControllerStateTest, ReadyNeedsTheValidatorAndOneRegisteredAPISession)
{
    auto const withSessions = [](bool validator, std::vector<bool> const &registered)
    {
        ControllerState state;
        state.validatorConnected = validator;
        for (bool r : registered)
            state.apiSessions.push_back({{}, r});
        return state;
    };
    EXPECT_EQ(withSessions(true, {false, true}).unreadiness(), "");
    // A session still connecting cannot take a test's results.
    EXPECT_EQ(withSessions(false, {false}).unreadiness(),
              "validator not connected, no API session registered");
    EXPECT_EQ(withSessions(true, {true, false, true}).statusLine(),
              "devices online: 0, validator: up, API sessions: 2 of 3 registered");
}

// What a reload hands over comes back total by total; names of other versions are passed by.
TEST(ControllerStateTest, TotalsGoOverByName)
{
    ControllerState::Totals totals;
    totals.admissionsRefused = 3;
    totals.repliesUnknown = 18446744073709551615UL;
    totals.metricsConnectionsEvicted = 1;
    auto named = totals.named();
    EXPECT_EQ(named.size(), 14U);
    named.emplace_back("somethingNewer", 9);
    auto const back = ControllerState::Totals::fromNamed(named);
    EXPECT_EQ(back.admissionsRefused, 3U);
    EXPECT_EQ(back.repliesUnknown, 18446744073709551615UL);
    EXPECT_EQ(back.metricsConnectionsEvicted, 1U);
    EXPECT_EQ(back.named(), totals.named());
    EXPECT_EQ(ControllerState::Totals::fromNamed({{"testsReceived", 4}}).named()[5],
              (std::pair<std::string, std::uint64_t>("testsReceived", 4)));
}

TEST(ExpositionCacheTest, ScrapesWithinAPeriodShareOneTextAndALaterOneGetsAFreshOne)
{
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    int builds = 0;
    ExpositionCache cache([&] { return "# build " + std::to_string(++builds) + "\n"; },
                          std::chrono::seconds(1), [&] { return now; });
    auto const first = cache.get();
    now += std::chrono::milliseconds(999);
    auto const second = cache.get();
    EXPECT_EQ(first, second);
    EXPECT_EQ(*second, "# build 1\n");
    now += std::chrono::milliseconds(1);
    auto const third = cache.get();
    EXPECT_EQ(*third, "# build 2\n");
    // An answer still being written keeps the text it was given.
    EXPECT_EQ(*first, "# build 1\n");
    EXPECT_EQ(builds, 2);
}

} // namespace
} // namespace kelvarin::triggerTesting
