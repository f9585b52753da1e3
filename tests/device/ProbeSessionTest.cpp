#include "device/DeviceProtocol.hpp"
#include "support/DeviceSideTest.hpp"

#include <boost/beast/http/field.hpp>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::string_literals;

std::string const resultLine =
    "received result for requestId:0123abcd-4567-89ef-fedc-ba9876543210 and is last: ";

class ProbeSessionTest : public DeviceSideTest
{
protected:
    void SetUp() override { startDeviceSide(); }
};

TEST_F(ProbeSessionTest, HandshakeNamesTheSubprotocolWhetherOrNotOffered)
{
    for (std::string offered : {""s, "other.protocol"s, std::string(deviceSubprotocol)})
    {
        FakeDevice device(io, endpoints[0], offered);
        ASSERT_TRUE(device.waitOpen()) << offered;
        EXPECT_EQ(device.handshakeResponse()[boost::beast::http::field::sec_websocket_protocol],
                  "v1.json.v1.device.trigger_testing.kelvarin.net");
    }
}

TEST_F(ProbeSessionTest, AdmittedDeviceIsAnsweredHeldAndReportedCleanWhenItLeaves)
{
    auto device = registeringDevice(0x0102030405060708);
    ASSERT_EQ(validations.size(), 1u);
    EXPECT_EQ(validations[0].unitId, 0x0102030405060708u);
    EXPECT_EQ(validations[0].mac, testMac);
    EXPECT_FALSE(manager->isUnitOnline(0x0102030405060708));

    validations[0].answer(true);
    ASSERT_TRUE(runUntil([&] { return !device->received().empty(); }));
    EXPECT_EQ(device->received(), Lines{encodeValidationAnswer(true)});
    EXPECT_TRUE(manager->isUnitOnline(0x0102030405060708));
    auto const before = std::chrono::system_clock::now();
    disconnect(*device, 0x0102030405060708);
    EXPECT_EQ(log.lines(),
              (Lines{"unitId:72623859790382856 received register request",
                     "unitId:72623859790382856 telling to the device that validation 1",
                     endOfFileLine(0x0102030405060708)}));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].unitId, 0x0102030405060708u);
    EXPECT_EQ(reports[0].reason, clean);
    EXPECT_GE(reports[0].time, before);
    EXPECT_FALSE(manager->isUnitOnline(0x0102030405060708));
}

// A refused device keeps its connection; what it or a device still being validated sends is
// ignored, and an answer that comes after the device left finds nothing to act on.
TEST_F(ProbeSessionTest, MessagesOfDevicesNotAdmittedAreIgnored)
{
    auto refused = registeringDevice(7);
    validations[0].answer(false);
    ASSERT_TRUE(runUntil([&] { return !refused->received().empty(); }));
    EXPECT_EQ(refused->received(), Lines{encodeValidationAnswer(false)});
    auto waiting = registeringDevice(8);
    for (auto *device : {refused.get(), waiting.get()})
    {
        device->send(sim::resultMessage(requestId, true, "{}"));
        device->send("\x01\x02"s);
        device->send(sim::registerMessage(9, testMac));
    }
    disconnect(*refused, 7);
    disconnect(*waiting, 8);
    validations[1].answer(true);

    EXPECT_EQ(validations.size(), 2u);
    EXPECT_EQ(log.lines(),
              (Lines{"unitId:7 received register request",
                     "unitId:7 telling to the device that validation 0",
                     "unitId:8 received register request", endOfFileLine(7), endOfFileLine(8)}));
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(reports.empty());
    EXPECT_FALSE(manager->isUnitOnline(7) || manager->isUnitOnline(8));
}

TEST_F(ProbeSessionTest, ProtocolErrorOrEndBeforeRegistrationIsLoggedWithoutValidation)
{
    std::pair<std::string, std::string> const cases[] = {
        {sim::registerMessage(7, testMac) + "x",
         "device disconnected: Bad validate - wrong size: [20] not matching [19]"},
        {"", "device disconnected before receiving ID: End of file asio.misc:2"},
    };
    for (auto const &[message, line] : cases)
    {
        log.clear();
        auto device = connectDevice();
        if (message.empty())
            device->closeSocket();
        else
            device->send(message);
        ASSERT_TRUE(runUntil([&] { return !log.lines().empty(); })) << line;
        EXPECT_EQ(log.lines(), Lines{line});
        EXPECT_TRUE(message.empty() || runUntil([&] { return device->ended().has_value(); }));
    }
    EXPECT_TRUE(validations.empty());
}

TEST_F(ProbeSessionTest, ProtocolErrorOrFailedResultAfterValidationEndsItReportedClean)
{
    struct Case
    {
        std::string message;
        bool resultsFail;
        Lines lines;
    };
    Case const cases[] = {
        {sim::resultMessage(requestId, true, ""), false, {"unitId:7 disconnected: Bad results"}},
        {sim::resultMessage(requestId, true, "not json"),
         true,
         {resultLine + "1", "unitId:7 disconnected: Invalid JSON"}},
    };
    for (auto const &c : cases)
    {
        auto device = validatedDevice(7);
        log.clear();
        reports.clear();
        failResults = c.resultsFail;
        device->send(c.message);
        ASSERT_TRUE(runUntil([&] { return device->ended().has_value(); }));
        EXPECT_EQ(log.lines(), c.lines);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].reason, clean);
        EXPECT_FALSE(manager->isUnitOnline(7));
    }
    EXPECT_TRUE(replies.empty());
}

TEST_F(ProbeSessionTest, ResultsBecomeRepliesByteForByte)
{
    auto device = validatedDevice(7);
    log.clear();
    std::string const binaryText = "{\"a\":\"\0\xff\x80\"}"s;
    // Far past the first read's room, in many frames: the message is put together whole, and
    // the short one after it is read on its own.
    std::string const longText = "{\"b\":\"" + std::string(300000, 'b') + "\"}";
    device->send(sim::resultMessage(requestId, false, binaryText));
    device->send(sim::resultMessage(requestId, false, longText));
    device->send(sim::resultMessage(requestId, true, "x"));

    ASSERT_TRUE(runUntil([&] { return replies.size() == 3; }));
    EXPECT_EQ(replies[0].id, requestId);
    EXPECT_EQ(std::get<Result>(replies[0].payload).text, binaryText);
    EXPECT_FALSE(std::get<Result>(replies[0].payload).isLast);
    EXPECT_EQ(std::get<Result>(replies[1].payload).text, longText);
    EXPECT_EQ(std::get<Result>(replies[2].payload).text, "x");
    EXPECT_TRUE(std::get<Result>(replies[2].payload).isLast);
    EXPECT_EQ(log.lines(), (Lines{resultLine + "0", resultLine + "0", resultLine + "1"}));
}

using ProbeSessionIdleTest = DeviceSideTest;

TEST_F(ProbeSessionIdleTest, SilentValidatedDeviceIsReportedAsTimeout)
{
    startDeviceSide({std::chrono::seconds(30), std::chrono::milliseconds(300)});
    auto device = registeringDevice(7, 0, false); // answers no pings
    validations[0].answer(true);
    ASSERT_TRUE(manager->isUnitOnline(7));

    ASSERT_TRUE(runUntil([&] { return !reports.empty(); }));
    EXPECT_EQ(reports[0].reason, timeout);
    EXPECT_EQ(log.count("unitId:7 disconnected: The socket was closed due to a timeout "
                        "boost.beast:1"),
              1u);
    EXPECT_FALSE(manager->isUnitOnline(7));
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
