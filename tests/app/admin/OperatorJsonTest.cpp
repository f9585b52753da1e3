#include "app/admin/OperatorJson.hpp"

#include "app/admin/OperatorQueries.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::chrono_literals;
using State = DeviceConnectionView::State;
using boost::asio::ip::make_address;
using Clock = std::chrono::system_clock;

// 2026-12-08T09:00:00Z and a fraction, which is cut.
Clock::time_point const nine = Clock::time_point(1796720400s) + 999ms;

DeviceConnectionView connection(State state)
{
    DeviceConnectionView view;
    view.unitId = 42;
    view.state = state;
    view.mac = EtherAddr(EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
    view.peer = boost::asio::ip::tcp::endpoint(make_address("203.0.113.7"), 40512);
    view.connectedAt = nine;
    view.registeredAt = nine + 1s;
    return view;
}

TEST(OperatorJsonTest, DeviceTextsAreExactNewestFirstAsGiven)
{
    auto admitted = connection(State::admitted);
    admitted.admittedAt = nine + 2s;
    admitted.testsRunning = 1;
    admitted.queuedBytes = 6;
    auto waiting = connection(State::validating);
    waiting.peer = boost::asio::ip::tcp::endpoint(make_address("2001:db8::1"), 10001);
    auto gone = connection(State::refused);
    gone.peer.reset();
    EXPECT_EQ(deviceJson(42, true, {admitted, waiting, gone}),
              "{\"unit_id\":42,\"online\":true,\"connections\":["
              "{\"state\":\"admitted\",\"mac\":\"001A2B3C4D5E\",\"peer\":\"203.0.113.7:40512\","
              "\"connected_at\":\"2026-12-08T09:00:00Z\",\"registered_at\":"
              "\"2026-12-08T09:00:01Z\",\"admitted_at\":\"2026-12-08T09:00:02Z\","
              "\"tests_running\":1,\"queued_bytes\":6},"
              "{\"state\":\"validating\",\"mac\":\"001A2B3C4D5E\",\"peer\":\"[2001:db8::1]:10001\","
              "\"connected_at\":\"2026-12-08T09:00:00Z\",\"registered_at\":"
              "\"2026-12-08T09:00:01Z\",\"admitted_at\":null,\"tests_running\":0,"
              "\"queued_bytes\":0},"
              "{\"state\":\"refused\",\"mac\":\"001A2B3C4D5E\",\"peer\":null,"
              "\"connected_at\":\"2026-12-08T09:00:00Z\",\"registered_at\":"
              "\"2026-12-08T09:00:01Z\",\"admitted_at\":null,\"tests_running\":0,"
              "\"queued_bytes\":0}]}");
    auto last = connection(State::admitted);
    last.unitId = 18446744073709551615UL;
    EXPECT_EQ(devicePageJson({{connection(State::refused), last}, std::nullopt}),
              "{\"devices\":[{\"unit_id\":42,\"state\":\"refused\",\"mac\":\"001A2B3C4D5E\","
              "\"peer\":\"203.0.113.7:40512\",\"connected_at\":\"2026-12-08T09:00:00Z\"},"
              "{\"unit_id\":18446744073709551615,\"state\":\"admitted\",\"mac\":"
              "\"001A2B3C4D5E\",\"peer\":\"203.0.113.7:40512\",\"connected_at\":"
              "\"2026-12-08T09:00:00Z\"}],\"next\":null}");
    EXPECT_EQ(devicePageJson({{}, 7}), "{\"devices\":[],\"next\":7}");
}

TEST(OperatorJsonTest, StatusTextIsExact)
{
    ControllerState state;
    state.startTime = nine;
    state.devicesOnline = 3;
    state.deviceConnections = 5;
    state.validationsPending = 1;
    state.testsRunning = 2;
    state.reportsBacklog = 4;
    state.validatorConnected = true;
    state.validatorEndpoint = boost::asio::ip::tcp::endpoint(make_address("127.0.0.9"), 10002);
    state.apiSessions = {{{make_address("127.0.0.2"), 10002}, true, 0, 0},
                         {{make_address("127.0.0.3"), 10002}, false, 123, 7}};
    EXPECT_EQ(statusJson(state, "1.0.0"),
              "{\"version\":\"1.0.0\",\"started_at\":\"2026-12-08T09:00:00Z\","
              "\"devices_online\":3,\"device_connections\":5,\"validations_pending\":1,"
              "\"tests_running\":2,\"reports_backlog\":4,\"validator\":{\"endpoint\":"
              "\"127.0.0.9:10002\",\"connected\":true},\"api_sessions\":["
              "{\"endpoint\":\"127.0.0.2:10002\",\"state\":\"registered\",\"queued_bytes\":0,"
              "\"dropped_messages\":0},{\"endpoint\":\"127.0.0.3:10002\",\"state\":"
              "\"connecting\",\"queued_bytes\":123,\"dropped_messages\":7}]}");
    EXPECT_EQ(statusJson(ControllerState{}, "1.0.0"),
              "{\"version\":\"1.0.0\",\"started_at\":\"1970-01-01T00:00:00Z\","
              "\"devices_online\":0,\"device_connections\":0,\"validations_pending\":0,"
              "\"tests_running\":0,\"reports_backlog\":0,\"validator\":{\"endpoint\":null,"
              "\"connected\":false},\"api_sessions\":[]}");
}

TEST(OperatorJsonTest, QuotedTextIsEscapedCutAndValid)
{
    struct Case
    {
        std::string text;
        std::string json;
    };
    Case const cases[] = {
        {"a\"b\\c\n\x01", "{\"error\":\"a\\\"b\\\\c\\n\\u0001\"}"},
        {"\xc3\xa9", "{\"error\":\"\\u00E9\"}"},
        // Not UTF-8, and a character cut by the limit: U+FFFD each.
        {"\xff" + std::string(62, 'x') + "\xc3\xa9",
         "{\"error\":\"\\uFFFD" + std::string(62, 'x') + "\\uFFFD\"}"},
        {std::string(70, 'y'), "{\"error\":\"" + std::string(64, 'y') + "\"}"},
    };
    for (auto const &[text, json] : cases)
        EXPECT_EQ(errorJson(quotedText(text)), json) << text;
}

TEST(OperatorQueriesTest, UnitIdsAreUnsigned64BitDecimals)
{
    EXPECT_EQ(parseUnitId("0"), 0UL);
    EXPECT_EQ(parseUnitId("0042"), 42UL);
    EXPECT_EQ(parseUnitId("18446744073709551615"), 18446744073709551615UL);
    for (auto const *bad : {"", "18446744073709551616", "-1", "+1", " 1", "1 ", "0x1", "4x2"})
        EXPECT_FALSE(parseUnitId(bad).has_value()) << bad;
}

TEST(OperatorQueriesTest, ListingParametersOrTheReasonTheyAreRefused)
{
    struct Case
    {
        char const *query;
        std::optional<State> state;
        std::optional<unsigned long> after;
        std::size_t limit;
        char const *error;
    };
    Case const cases[] = {
        {"", {}, {}, 100, nullptr},
        {"state=refused&after=7&limit=1000", State::refused, 7, 1000, nullptr},
        {"&limit=1&", {}, {}, 1, nullptr},
        {"after=18446744073709551615&state=validating", State::validating, 18446744073709551615UL,
         100, nullptr},
        {"limit=0", {}, {}, 0, "limit must be a number from 1 to 1000"},
        {"limit=1001", {}, {}, 0, "limit must be a number from 1 to 1000"},
        {"limit", {}, {}, 0, "limit must be a number from 1 to 1000"},
        {"state=online", {}, {}, 0, "state must be validating, admitted or refused"},
        {"after=-1", {}, {}, 0, "not a unit id: -1"},
        {"state=admitted&state=admitted", {}, {}, 0, "parameter given twice: state"},
        {"page=2", {}, {}, 0, "unknown parameter: page"},
    };
    for (auto const &[query, state, after, limit, error] : cases)
    {
        auto const parsed = parseDevicePageQuery(query);
        if (error != nullptr)
        {
            EXPECT_EQ(std::get<std::string>(parsed), error) << query;
            continue;
        }
        auto const &page = std::get<DevicePageQuery>(parsed);
        EXPECT_EQ(page.state, state) << query;
        EXPECT_EQ(page.after, after) << query;
        EXPECT_EQ(page.limit, limit) << query;
    }
}

} // namespace
} // namespace kelvarin::triggerTesting
