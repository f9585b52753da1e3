#include "DeviceSideFixture.hpp"

#include <boost/beast/http/field.hpp>
#include <boost/uuid/string_generator.hpp>

using namespace std::string_literals;

namespace kelvarin::triggerTesting::test
{
namespace
{

std::string const acceptedAnswer = "\x46\x9B\x34\xA5\x01\x01"s;
std::string const refusedAnswer = "\x46\x9B\x34\xA5\x01\x00"s;

boost::uuids::uuid const requestId =
    boost::uuids::string_generator()("0123abcd-4567-89ef-fedc-ba9876543210");

class ProbeSessionTest : public DeviceSideTest
{
protected:
    void SetUp() override { startDeviceSide(); }
};

TEST_F(ProbeSessionTest, HandshakeNamesSubprotocolWhetherOrNotOffered)
{
    for (std::string offered :
         {""s, "other.protocol"s, "v1.json.v1.device.trigger_testing.kelvarin.net"s})
    {
        FakeDevice device(io);
        ASSERT_TRUE(device.connectAndWait(endpoint, offered)) << offered;
        EXPECT_EQ(device.handshakeResponse()[boost::beast::http::field::sec_websocket_protocol],
                  "v1.json.v1.device.trigger_testing.kelvarin.net")
            << offered;
    }
}

TEST_F(ProbeSessionTest, RegisterAsksValidationWithDecodedUnitIdAndMac)
{
    auto device = registeringDevice(0x0102030405060708);

    ASSERT_EQ(validations.size(), 1u);
    EXPECT_EQ(validations[0].unitId, 0x0102030405060708u);
    EXPECT_EQ(validations[0].mac.toString(), "001A2B3C4D5E");
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"unitId:72623859790382856 received register request"});
    EXPECT_FALSE(manager->isUnitOnline(0x0102030405060708));
}

TEST_F(ProbeSessionTest, AcceptedAnswerReachesDeviceAndRegistersSession)
{
    auto device = registeringDevice(7);
    validations[0].answer(true);

    ASSERT_TRUE(runUntil([&] { return !device->received().empty(); }));
    EXPECT_EQ(device->received(), std::vector<std::string>{acceptedAnswer});
    EXPECT_TRUE(manager->isUnitOnline(7));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"unitId:7 received register request",
                                        "unitId:7 telling to the device that validation 1"}));
}

TEST_F(ProbeSessionTest, RefusedDeviceKeepsConnectionAndIsIgnored)
{
    auto device = registeringDevice(7);
    validations[0].answer(false);
    ASSERT_TRUE(runUntil([&] { return !device->received().empty(); }));
    EXPECT_EQ(device->received(), std::vector<std::string>{refusedAnswer});
    EXPECT_FALSE(manager->isUnitOnline(7));

    device->send(FakeDevice::resultMessage(requestId, 1, "{}"));
    device->send("\x01\x02"s);
    disconnect(*device, 7);

    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"unitId:7 received register request",
                                        "unitId:7 telling to the device that validation 0",
                                        endOfFileLine(7)}));
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(reports.empty());
}

TEST_F(ProbeSessionTest, MessagesWhileValidatingAreIgnoredAndLateAnswerOnlyLogs)
{
    auto device = registeringDevice(7);
    device->send(FakeDevice::resultMessage(requestId, 1, "{}"));
    device->send("\x01\x02\x03"s);
    device->send(FakeDevice::registerMessage(8, testMac));
    disconnect(*device, 7);

    EXPECT_EQ(validations.size(), 1u);
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(reports.empty());

    // The session is gone by now: the answer finds nothing to act on.
    validations[0].answer(true);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"unitId:7 received register request", endOfFileLine(7)}));
    EXPECT_FALSE(manager->isUnitOnline(7));
}

TEST_F(ProbeSessionTest, ProtocolErrorBeforeRegistrationEndsSession)
{
    struct Case
    {
        std::string message;
        std::string line;
    };
    std::string const registration = FakeDevice::registerMessage(7, testMac);
    std::vector<Case> const cases{
        {registration + "x",
         "device disconnected: Bad validate - wrong size: [20] not matching [19]"},
        {registration.substr(0, 4) + "\x02" + registration.substr(5),
         "device disconnected: Bad validate - wrong message type: [2] not matching [1]"},
        {registration.substr(0, 4) + "\xff" + registration.substr(5, 2),
         "device disconnected: Bad validate - wrong message type: [-1] not matching [1]"},
        {"\x46\x9B\x34"s, "device disconnected: Bad validate - message too short: [3] bytes"},
    };
    for (auto const &c : cases)
    {
        log.clear();
        auto device = connectDevice(endpoint);
        device->send(c.message);
        ASSERT_TRUE(runUntil([&] { return device->isDisconnected(); })) << c.line;
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
    }
    EXPECT_TRUE(validations.empty());
}

TEST_F(ProbeSessionTest, ProtocolErrorAfterValidationEndsSessionAndReportsItClean)
{
    std::string const result = FakeDevice::resultMessage(requestId, 1, "{}");
    std::vector<std::string> const badMessages{
        FakeDevice::registerMessage(7, testMac),
        result.substr(0, 4) + "\x01" + result.substr(5),
        result.substr(0, 26),
        "\x46\x9B\x34\xA5"s,
    };
    for (auto const &message : badMessages)
    {
        auto device = validatedDevice(7);
        log.clear();
        reports.clear();
        auto const before = std::chrono::system_clock::now();
        device->send(message);
        ASSERT_TRUE(runUntil([&] { return device->isDisconnected(); }));
        EXPECT_EQ(log.lines(), std::vector<std::string>{"unitId:7 disconnected: Bad results"});
        EXPECT_FALSE(manager->isUnitOnline(7));
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].unitId, 7u);
        EXPECT_EQ(reports[0].reason, clean);
        EXPECT_GE(reports[0].time, before);
    }
    EXPECT_TRUE(replies.empty());
}

TEST_F(ProbeSessionTest, FailingResultFunctionEndsSessionAndReportsItClean)
{
    auto device = validatedDevice(7);
    log.clear();
    failResults = true;
    device->send(FakeDevice::resultMessage(requestId, 1, "not json"));

    ASSERT_TRUE(runUntil([&] { return device->isDisconnected(); }));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"received result for requestId:"
                                        "0123abcd-4567-89ef-fedc-ba9876543210 and is last: 1",
                                        "unitId:7 disconnected: Invalid JSON"}));
    EXPECT_FALSE(manager->isUnitOnline(7));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].reason, clean);
}

TEST_F(ProbeSessionTest, ResultsBecomeRepliesByteForByte)
{
    auto device = validatedDevice(7);
    log.clear();
    std::string const binaryText = "{\"a\":\"\0\xff\x80\"}"s;
    device->send(FakeDevice::resultMessage(requestId, 0x02, binaryText));
    device->send(FakeDevice::resultMessage(requestId, 0x03, "x"));

    ASSERT_TRUE(runUntil([&] { return replies.size() == 2; }));
    for (auto const &reply : replies)
        EXPECT_EQ(reply.id, requestId);
    auto const &first = std::get<Result>(replies[0].payload);
    auto const &last = std::get<Result>(replies[1].payload);
    EXPECT_EQ(first.text, binaryText);
    EXPECT_FALSE(first.isLast);
    EXPECT_EQ(last.text, "x");
    EXPECT_TRUE(last.isLast);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"received result for requestId:"
                                        "0123abcd-4567-89ef-fedc-ba9876543210 and is last: 0",
                                        "received result for requestId:"
                                        "0123abcd-4567-89ef-fedc-ba9876543210 and is last: 1"}));
}

// The device's client fragments long messages into frames of a few KiB; the session reads a
// message in several steps of its own as well.
TEST_F(ProbeSessionTest, LongResultAcrossManyFramesArrivesWhole)
{
    auto device = validatedDevice(7);
    std::string longText(300 * 1024, '\0');
    for (std::size_t i = 0; i < longText.size(); ++i)
        longText[i] = static_cast<char>('a' + i % 26);
    device->send(FakeDevice::resultMessage(requestId, 0x02, longText));
    device->send(FakeDevice::resultMessage(requestId, 0x03, "end"));

    ASSERT_TRUE(runUntil([&] { return replies.size() == 2; }));
    EXPECT_EQ(std::get<Result>(replies[0].payload).text, longText);
    EXPECT_EQ(std::get<Result>(replies[1].payload).text, "end");
    EXPECT_TRUE(manager->isUnitOnline(7));
}

TEST_F(ProbeSessionTest, ReadFailureOfValidatedSessionReportsClean)
{
    auto device = validatedDevice(7);
    auto const before = std::chrono::system_clock::now();
    disconnect(*device, 7);

    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].unitId, 7u);
    EXPECT_EQ(reports[0].reason, clean);
    EXPECT_GE(reports[0].time, before);
    EXPECT_LE(reports[0].time, std::chrono::system_clock::now());
    EXPECT_FALSE(manager->isUnitOnline(7));
}

TEST_F(ProbeSessionTest, ReadFailureBeforeRegistrationIsLoggedWithoutReport)
{
    auto device = connectDevice(endpoint);
    device->closeSocket();
    ASSERT_TRUE(runUntil([&] { return !log.lines().empty(); }));
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "device disconnected before receiving ID: End of file asio.misc:2"});
    EXPECT_TRUE(reports.empty());
}

class ProbeSessionIdleTest : public DeviceSideTest
{
};

TEST_F(ProbeSessionIdleTest, SilentValidatedDeviceIsReportedAsTimeout)
{
    startDeviceSide({std::chrono::seconds(30), std::chrono::milliseconds(300)});
    // A device that does not read answers no pings.
    FakeDevice device(io);
    device.connect(endpoint, {}, false);
    device.send(FakeDevice::registerMessage(7, testMac));
    ASSERT_TRUE(runUntil([&] { return !validations.empty(); }));
    validations[0].answer(true);
    ASSERT_TRUE(manager->isUnitOnline(7));

    ASSERT_TRUE(runUntil([&] { return !reports.empty(); }));
    EXPECT_EQ(reports[0].unitId, 7u);
    EXPECT_EQ(reports[0].reason, timeout);
    EXPECT_TRUE(
        log.contains("unitId:7 disconnected: The socket was closed due to a timeout boost.beast:1"))
        << ::testing::PrintToString(log.lines());
    EXPECT_FALSE(manager->isUnitOnline(7));
}

TEST_F(ProbeSessionIdleTest, MissingReportFunctionSkipsReport)
{
    startDeviceSide({}, false);
    auto device = validatedDevice(7);
    disconnect(*device, 7);
    EXPECT_FALSE(manager->isUnitOnline(7));
}

} // namespace
} // namespace kelvarin::triggerTesting::test
