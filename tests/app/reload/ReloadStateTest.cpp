#include "app/reload/ReloadState.hpp"

#include "support/Helpers.hpp"

#include <boost/uuid/string_generator.hpp>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::chrono_literals;

// Every byte value, NUL and bytes that are not UTF-8 among them.
std::string allBytes()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes += static_cast<char>(value);
    return bytes;
}

ReloadState sampleState()
{
    ReloadState state;
    state.configuration = "[api-side]\nservice = 10002\n";
    state.listeners = {{3, false}, {4, true}};
    ReloadState::Device device;
    device.descriptor = 7;
    device.ipv6 = true;
    device.unitId = 18446744073709551615UL;
    device.state = 2;
    device.pending = allBytes();
    device.unsent = {std::string("\x46\x9b\x34\xa5\x01\x01", 6), ""};
    device.ownsUnit = false;
    device.mac = EtherAddr(EtherAddr::Octets{0x00, 0x1a, 0x00, 0xff, 0x80, 0x5e});
    device.refused = true;
    device.connectedAt = std::chrono::system_clock::time_point(1796720400123ms);
    device.registeredAt = std::chrono::system_clock::time_point(1796720401000ms);
    device.admittedAt = std::chrono::system_clock::time_point(1796720402999ms);
    ReloadState::Device waiting;
    waiting.descriptor = 8;
    waiting.unitId = 9;
    waiting.registrationLeft = 29999ms;
    waiting.silence = 1234ms;
    state.devices = {device, waiting};
    state.requests = {
        {{boost::uuids::string_generator()("0f8fad5b-d9cb-469f-a165-70867728950e"), 9, "ping \"x\"",
          12},
         1},
        {{boost::uuids::string_generator()("1f8fad5b-d9cb-469f-a165-70867728950e"), 9, "", 0}, -1}};
    state.apiQueues = {{"127.0.0.2:10002", 11, allBytes(),
                        testSupport::sharedTexts({"{\"type\":\"execute\"}", allBytes()}), 7},
                       {"[::1]:10002", -1, "", {}}};
    state.validations = {{9, std::string("\x00\x1b\x21\xff\x80\x01", 6), {1, 1}}};
    state.reports = {"{\"type\":\"unit_disconnect\"}"};
    state.counters = {{"admissionsAccepted", 5}, {"testsReceived", 18446744073709551615UL}};
    return state;
}

TEST(ReloadState, EveryFieldAndEveryByteComesBackAsItWent)
{
    auto const state = sampleState();
    auto const back = decodeReloadState(encodeReloadState(state));
    EXPECT_EQ(back.configuration, state.configuration);
    ASSERT_EQ(back.listeners.size(), 2U);
    EXPECT_EQ(back.listeners[1].descriptor, 4);
    EXPECT_TRUE(back.listeners[1].ipv6);
    ASSERT_EQ(back.devices.size(), 2U);
    EXPECT_EQ(back.devices[0].descriptor, 7);
    EXPECT_EQ(back.devices[0].unitId, 18446744073709551615UL);
    EXPECT_EQ(back.devices[0].state, 2U);
    EXPECT_EQ(back.devices[0].pending, allBytes());
    EXPECT_EQ(back.devices[0].unsent, state.devices[0].unsent);
    EXPECT_FALSE(back.devices[0].ownsUnit);
    EXPECT_FALSE(back.devices[0].registrationLeft.has_value());
    EXPECT_EQ(back.devices[1].registrationLeft, 29999ms);
    EXPECT_EQ(back.devices[1].silence, 1234ms);
    EXPECT_EQ(back.devices[0].mac, state.devices[0].mac);
    EXPECT_TRUE(back.devices[0].refused);
    EXPECT_EQ(back.devices[0].connectedAt, state.devices[0].connectedAt);
    EXPECT_EQ(back.devices[0].registeredAt, state.devices[0].registeredAt);
    EXPECT_EQ(back.devices[0].admittedAt, state.devices[0].admittedAt);
    EXPECT_FALSE(back.devices[1].connectedAt.has_value());
    EXPECT_FALSE(back.devices[1].refused);
    ASSERT_EQ(back.requests.size(), 2U);
    EXPECT_EQ(back.requests[0].metadata.testId, state.requests[0].metadata.testId);
    EXPECT_NE(encodeReloadState(state).find("\"id\":\"0f8fad5b-d9cb-469f-a165-70867728950e\""),
              std::string::npos);
    EXPECT_EQ(back.requests[0].metadata.task, "ping \"x\"");
    EXPECT_EQ(back.requests[0].metadata.actionId, 12U);
    EXPECT_EQ(back.requests[0].device, 1);
    EXPECT_EQ(back.requests[1].device, -1);
    ASSERT_EQ(back.apiQueues.size(), 2U);
    EXPECT_EQ(back.apiQueues[0].endpoint, "127.0.0.2:10002");
    EXPECT_EQ(back.apiQueues[0].descriptor, 11);
    EXPECT_EQ(back.apiQueues[0].pending, allBytes());
    EXPECT_EQ(testSupport::textsOf(back.apiQueues[0].unsent),
              testSupport::textsOf(state.apiQueues[0].unsent));
    EXPECT_EQ(back.apiQueues[0].dropped, 7U);
    EXPECT_EQ(back.apiQueues[1].descriptor, -1);
    ASSERT_EQ(back.validations.size(), 1U);
    EXPECT_EQ(back.validations[0].mac, state.validations[0].mac);
    EXPECT_EQ(back.validations[0].askers, (std::vector<std::uint32_t>{1, 1}));
    EXPECT_EQ(back.reports, state.reports);
    EXPECT_EQ(back.counters, state.counters);
}

std::string failureOf(std::string const &text)
{
    return testSupport::failureOf<std::runtime_error>([&] { decodeReloadState(text); });
}

TEST(ReloadState, AnotherVersionOrADamagedTextIsRefusedWithItsReason)
{
    std::string text = encodeReloadState(sampleState());
    EXPECT_EQ(failureOf(text.substr(0, text.find("\"counters\""))), "damaged state: not JSON");
    // The last text, a report, is cut short.
    EXPECT_EQ(failureOf(text.substr(0, text.size() - 1)),
              "damaged state: an element of \"reports\" runs past the end");
    EXPECT_EQ(failureOf(""), "damaged state: not JSON");
    EXPECT_EQ(failureOf("[]"), "damaged state: no object around \"version\"");

    // Each text replaced by the next one, and the refusal.
    struct Case
    {
        std::string from, to, refusal;
    };
    Case const cases[] = {
        {"\"version\":2", "\"version\":3", "state format version 3, this program reads 1 to 2"},
        {"\"device\":1", "\"device\":2", "damaged state: \"device\" is not a device"},
        {"\"state\":2", "\"state\":3", "damaged state: \"state\" is out of range"},
        {"\"askers\":[1,1]", "\"askers\":[1,2]", "damaged state: an asker is not a device"},
        {"\"mac\":\"", "\"mac\":\"x", "damaged state: \"mac\" is not six octets"},
        {"\"fd\":8", "\"fd\":-8", "damaged state: \"fd\" is not a descriptor"},
        // A queue may go without its connection, but "none" is -1 and nothing else.
        {"\"fd\":-1", "\"fd\":-2", "damaged state: \"fd\" is not a descriptor"},
        {"0f8fad5b-", "{f8fad5b-", "damaged state: \"id\" is not a uuid"},
        {"\"connectedAtMs\":", "\"connectedAtMs\":\"1\",\"x\":",
         "damaged state: \"connectedAtMs\" is not a time"},
        {"\"dropped\":7", "\"dropped\":-7", "damaged state: \"dropped\" is not a number"},
    };
    for (auto const &[from, to, refusal] : cases)
    {
        std::string damaged = text;
        damaged.replace(damaged.find(from), from.size(), to);
        EXPECT_EQ(failureOf(damaged), refusal) << to;
    }
}

// A program from before the totals went over hands over none: its successor counts from zero.
TEST(ReloadState, AStateWithoutTotalsReadsAsZeroTotals)
{
    auto text = encodeReloadState(sampleState());
    text.replace(text.find(",\"dropped\":7"), 12, "");
    auto const counters = text.find(",\"counters\"");
    text.erase(counters, text.find('}', counters) + 1 - counters);
    auto const back = decodeReloadState(text);
    EXPECT_EQ(back.apiQueues.at(0).dropped, 0U);
    EXPECT_TRUE(back.counters.empty());
    EXPECT_EQ(back.reports, sampleState().reports);
    // Nor the MAC and refusal of a device: none, and its times still read.
    auto older = encodeReloadState(sampleState());
    auto const macAt = older.find(",\"mac\":");
    older.erase(macAt, older.find(",\"connectedAtMs\":") - macAt);
    auto const device = decodeReloadState(older).devices.at(0);
    EXPECT_EQ(device.mac, EtherAddr());
    EXPECT_FALSE(device.refused);
    EXPECT_EQ(device.connectedAt, sampleState().devices[0].connectedAt);
}

// Texts of control bytes or quotes go as they are: escaped, they took up to six times their
// size. A state of the format before, with its texts as strings, still reads: a reload from the
// previous version keeps every connection.
TEST(ReloadState, TextsGoAsTheyAreAndAStateOfTheFormatBeforeStillReads)
{
    auto state = sampleState();
    state.requests[0].metadata.task = std::string(1 << 20, '\x01');
    state.reports = {std::string(1 << 20, '"')};
    auto const text = encodeReloadState(state);
    EXPECT_LT(text.size(), (2u << 20) + 2048);
    EXPECT_EQ(decodeReloadState(text).reports, state.reports);

    auto const previous = decodeReloadState(
        "{\"version\":1,\"configuration\":\"c\",\"listeners\":[],\"devices\":[{\"fd\":7,"
        "\"ipv6\":false,\"unit\":9,\"state\":2,\"pending\":\"p\\u0001\",\"unsent\":[\"u\"]}],"
        "\"requests\":[{\"id\":\"0f8fad5b-d9cb-469f-a165-70867728950e\",\"unit\":9,\"task\":"
        "\"t\\\"\",\"action\":1,\"device\":0}],\"apiQueues\":[{\"endpoint\":\"127.0.0.2:1\","
        "\"fd\":-1,\"pending\":\"\",\"unsent\":[\"q\"]}],\"validations\":[],\"reports\":[\"r\"]}");
    EXPECT_EQ(previous.devices.at(0).pending, "p\x01");
    EXPECT_EQ(previous.devices.at(0).unsent, std::vector<std::string>{"u"});
    EXPECT_EQ(previous.requests.at(0).metadata.task, "t\"");
    EXPECT_EQ(testSupport::textsOf(previous.apiQueues.at(0).unsent), testSupport::Lines{"q"});
    EXPECT_EQ(previous.reports, std::vector<std::string>{"r"});
}

TEST(ReloadState, DeepNestingIsRefusedWithoutExhaustingTheStack)
{
    std::string const deep = "{\"version\":1,\"configuration\":" + std::string(200000, '[') +
                             std::string(200000, ']') + "}";
    EXPECT_EQ(failureOf(deep), "damaged state: \"configuration\" is not a string");
}

} // namespace
} // namespace kelvarin::triggerTesting
