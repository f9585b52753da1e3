#include "sim/SimMessages.hpp"

#include "api/APISessionMessages.hpp"
#include "api/ResultMessage.hpp"
#include "api/TestRequestJsonV1.hpp"
#include "device/DeviceProtocol.hpp"
#include "status/DisconnectionMessage.hpp"

#include <boost/uuid/string_generator.hpp>

#include <chrono>
#include <gtest/gtest.h>
#include <string>

namespace kelvarin::triggerTesting::sim
{
namespace
{

using namespace std::string_literals;
using Kind = ControllerMessage::Kind;

auto const requestId = boost::uuids::string_generator()("0123abcd-4567-89ef-fedc-ba9876543210");
std::string const requestIdBytes =
    "\x01\x23\xab\xcd\x45\x67\x89\xef\xfe\xdc\xba\x98\x76\x54\x32\x10"s;
EtherAddr const mac(EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});

// The device messages, byte for byte, and read back by the controller's own decoders.
TEST(SimMessagesTest, RegisterMessageIsWhatTheControllerDecodes)
{
    auto const message = registerMessage(256, mac);
    EXPECT_EQ(message, "\x46\x9B\x34\xA5\x01\x00\x00\x00\x00\x00\x00\x01\x00"
                       "\x00\x1a\x2b\x3c\x4d\x5e"s);
    auto const decoded = decodeRegisterMessage(registerMessage(18446744073709551615ull, mac));
    EXPECT_EQ(decoded.unitId, 18446744073709551615ull);
    EXPECT_EQ(decoded.mac, mac);
}

TEST(SimMessagesTest, ResultMessagesCarryTheLastFlagAndTheText)
{
    EXPECT_EQ(resultMessage(requestId, true, "{}"),
              "\x46\x9B\x34\xA5\x02"s + requestIdBytes + "\x01\x00\x00\x00\x00{}"s);
    auto const partial = decodeResultMessage(resultMessage(requestId, false, resultText(1, 2)));
    EXPECT_EQ(partial.requestId, requestId);
    EXPECT_FALSE(partial.isLast);
    EXPECT_EQ(partial.text, "{\"status\":\"running\",\"part\":1,\"of\":2}");
    EXPECT_EQ(resultText(2, 2), "{\"status\":\"ok\",\"part\":2,\"of\":2}");
}

TEST(SimMessagesTest, RunMessagesFromTheControllerAreRead)
{
    auto const run = decodeRunMessage(encodeRunMessage(requestId, "{\"task\":\"ping\"}"));
    ASSERT_TRUE(run);
    EXPECT_EQ(run->requestId, requestId);
    EXPECT_EQ(run->data, "{\"task\":\"ping\"}");
    EXPECT_EQ(decodeRunMessage(encodeRunMessage(requestId, ""))->data, "");

    auto truncated = encodeRunMessage(requestId, "abc");
    truncated.pop_back();
    EXPECT_FALSE(decodeRunMessage(truncated));
    EXPECT_FALSE(decodeRunMessage(encodeValidationAnswer(true)));
    EXPECT_FALSE(decodeRunMessage(""));
}

TEST(SimMessagesTest, ValidationAnswersFromTheControllerAreRead)
{
    EXPECT_EQ(decodeValidationAnswer(encodeValidationAnswer(true)), true);
    EXPECT_EQ(decodeValidationAnswer(encodeValidationAnswer(false)), false);
    EXPECT_FALSE(decodeValidationAnswer("\x46\x9B\x34\xA5\x01\x02"s));
    EXPECT_FALSE(decodeValidationAnswer("\x46\x9B\x34\xA5\x02\x01"s));
    EXPECT_FALSE(decodeValidationAnswer(encodeRunMessage(requestId, "")));
}

// The API side's messages, as exact texts and as the controller parses them.
TEST(SimMessagesTest, ExecuteMessageIsAcceptedByTheControllerParser)
{
    auto const text = executeMessage(requestId, 42, "trace \"route\"", 7);
    EXPECT_EQ(text, "{\"type\":\"execute\",\"data\":{\"test_id\":\"0123abcd-4567-89ef-fedc-"
                    "ba9876543210\",\"unit_id\":42,\"task\":\"trace \\\"route\\\"\","
                    "\"action_id\":7}}");
    TestRequestJsonV1 const request(text);
    EXPECT_EQ(request.getId(), requestId);
    EXPECT_EQ(request.getProbeId(), 42u);
    EXPECT_EQ(request.getMetadata().task, "trace \"route\"");
    EXPECT_EQ(request.getMetadata().actionId, 7u);
}

TEST(SimMessagesTest, QueryAndValidateAnswerTexts)
{
    EXPECT_EQ(isOnlineQuery(18446744073709551615ull),
              "{\"type\":\"isOnline\",\"data\":{\"unit_id\":18446744073709551615}}");
    EXPECT_EQ(validateAnswer(42, mac, true),
              "{\"type\":\"validate\",\"data\":{\"unit_id\":42,\"mac\":\"001A2B3C4D5E\","
              "\"result\":true}}");
    EXPECT_EQ(validateAnswer(42, mac, false),
              "{\"type\":\"validate\",\"data\":{\"unit_id\":42,\"mac\":\"001A2B3C4D5E\","
              "\"result\":false}}");
}

// Everything the controller writes to API servers and to the validator is recognised.
TEST(SimMessagesTest, ControllerMessagesToApiServers)
{
    auto const registration = parseControllerMessage(buildRegistrationMessage("ctl-1"));
    EXPECT_EQ(registration.kind, Kind::registration);
    EXPECT_EQ(registration.name, "ctl-1");
    EXPECT_FALSE(registration.isValidator);

    TestMetadata const metadata{requestId, 42, "ping", 3};
    auto const result = parseControllerMessage(
        buildResultMessage(Reply(requestId, Result("{\"rtt\":1}", true)), metadata));
    EXPECT_EQ(result.kind, Kind::result);
    EXPECT_EQ(result.testId, requestId);
    EXPECT_EQ(result.unitId, 42u);
    EXPECT_FALSE(result.isError);
    // The device's own text, nested values and all, without what the controller appended.
    EXPECT_EQ(result.resultText, "{\"rtt\":1}");
    auto const nested = parseControllerMessage(buildResultMessage(
        Reply(requestId, Result("{\"a\":[1,{\"b\":null}],\"c\":\"\\u00e9\"}", false)),
        metadata));
    EXPECT_EQ(nested.resultText, "{\"a\":[1,{\"b\":null}],\"c\":\"\u00e9\"}");

    auto const error = parseControllerMessage(
        buildResultMessage(Reply(requestId, Error(Error::UNREACHABLE, "")), metadata));
    EXPECT_EQ(error.kind, Kind::result);
    EXPECT_TRUE(error.isError);
    EXPECT_EQ(error.errorCode, "UNREACHABLE");
    EXPECT_EQ(error.resultText, "{\"status\":\"error\",\"data\":{\"code\":\"UNREACHABLE\","
                                "\"message\":\"\"}}");

    auto const online = parseControllerMessage(buildIsOnlineAnswer(42, true));
    EXPECT_EQ(online.kind, Kind::isOnlineAnswer);
    EXPECT_EQ(online.unitId, 42u);
    EXPECT_TRUE(online.online);
}

TEST(SimMessagesTest, ControllerMessagesToTheValidator)
{
    auto const registration = parseControllerMessage(
        "{\"type\":\"register\",\"data\":{\"is_validator\":true,\"name\":\"ctl-1\"}}");
    EXPECT_EQ(registration.kind, Kind::registration);
    EXPECT_TRUE(registration.isValidator);

    auto const validate = parseControllerMessage(
        "{\"type\":\"validate\",\"data\":{\"unit_id\":42,\"mac\":\"001A2B3C4D5E\"}}");
    EXPECT_EQ(validate.kind, Kind::validate);
    EXPECT_EQ(validate.unitId, 42u);
    EXPECT_EQ(validate.mac, mac);

    auto const report = parseControllerMessage(prepareDisconnectionMessage(
        7, disconnection_reason::timeout,
        std::chrono::system_clock::time_point(std::chrono::milliseconds(59999))));
    EXPECT_EQ(report.kind, Kind::disconnection);
    EXPECT_EQ(report.unitId, 7u);
    EXPECT_EQ(report.reason, "timeout");
    EXPECT_EQ(report.time, "1970-01-01T00:00:59");
}

TEST(SimMessagesTest, AnythingElseIsMalformedWithAReason)
{
    auto const problem = [](std::string const &text)
    {
        auto const message = parseControllerMessage(text);
        EXPECT_EQ(message.kind, Kind::malformed) << text;
        return message.problem;
    };
    EXPECT_EQ(problem("{"), "Invalid JSON");
    EXPECT_EQ(problem("[]"), "not a JSON object");
    EXPECT_EQ(problem("{\"data\":{}}"), "There is no valid \"type\"");
    EXPECT_EQ(problem("{\"type\":\"hello\",\"data\":{}}"), "unknown type \"hello\"");
    EXPECT_EQ(problem("{\"type\":\"validate\",\"data\":{\"unit_id\":1,\"mac\":\"xyz\"}}"),
              "Tried to create an EtherAddr from an invalid format");
    EXPECT_EQ(problem("{\"type\":\"execute\",\"data\":{\"test_id\":\"nope\",\"unit_id\":1}}"),
              "invalid uuid string");
    EXPECT_EQ(problem("{\"type\":\"isOnline\",\"data\":{\"unit_id\":1,\"result\":1}}"),
              "There is no valid \"result\"");
}

} // namespace
} // namespace kelvarin::triggerTesting::sim
