#include "device/DeviceProtocol.hpp"
#include "support/DeviceSideTest.hpp"

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <deque>

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
    startDeviceSide({std::chrono::seconds(30), std::chrono::seconds(1)});
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

std::string const tooBig = "The WebSocket message exceeded the locally configured limit "
                           "boost.beast.websocket:6";

// Before admission a device is held to messages the size of a few register messages.
TEST_F(ProbeSessionTest, MessagesBeforeAdmissionAreHeldToFourKiB)
{
    std::pair<std::string, std::string> const cases[] = {
        {std::string(4096, '\x01'),
         "device disconnected: Bad validate - wrong size: [4096] not matching [19]"},
        {std::string(4097, '\x01'), "device disconnected before receiving ID: " + tooBig},
    };
    for (auto const &[message, line] : cases)
    {
        log.clear();
        auto device = connectDevice();
        device->send(message);
        ASSERT_TRUE(runUntil([&] { return device->ended().has_value(); })) << line;
        EXPECT_EQ(log.lines(), Lines{line});
    }
    // While it waits for its answer, and once refused, too.
    auto waiting = registeringDevice(7);
    auto refused = registeringDevice(8);
    validations[1].answer(false);
    log.clear();
    waiting->send(std::string(4097, 'x'));
    refused->send(std::string(4097, 'x'));
    ASSERT_TRUE(runUntil([&] { return waiting->ended() && refused->ended(); }));
    EXPECT_EQ(log.count("unitId:7 disconnected: " + tooBig), 1u);
    EXPECT_EQ(log.count("unitId:8 disconnected: " + tooBig), 1u);
    EXPECT_TRUE(reports.empty());
}

// A device that sends a message a fragment at a time, as a hostile one can: the WebSocket
// library's own client, writing frames of its choice. Its pending operations hold it.
class FragmentingDevice : public std::enable_shared_from_this<FragmentingDevice>
{
public:
    explicit FragmentingDevice(boost::asio::io_context &io) : ws(io)
    {
        ws.binary(true);
        ws.control_callback(
            [this](boost::beast::websocket::frame_type kind, boost::beast::string_view payload)
            {
                if (kind != boost::beast::websocket::frame_type::close)
                    (kind == boost::beast::websocket::frame_type::ping ? pings : pongs)
                        .emplace_back(payload);
            });
    }

    void connect(boost::asio::ip::tcp::endpoint const &at)
    {
        ws.next_layer().async_connect(
            at,
            [self = shared_from_this()](auto const &ec)
            {
                if (ec)
                    return self->end();
                self->ws.async_handshake(
                    "127.0.0.1", "/", [self](auto const &ec) { ec ? self->end() : self->read(); });
            });
    }

    // One frame, written after those before it; `last` ends the message.
    void send(std::string frame, bool last)
    {
        frames.emplace_back(std::move(frame), last);
        if (frames.size() == 1)
            write();
    }
    // With nothing else being written.
    void ping(std::string const &payload)
    {
        ws.async_ping(boost::beast::websocket::ping_data(payload.c_str()),
                      [self = shared_from_this()](auto const &) {});
    }
    void closeSocket()
    {
        boost::system::error_code ignored;
        ws.next_layer().close(ignored);
    }
    bool open() const { return opened && !ended; }

    std::vector<std::string> received, pings, pongs;
    bool opened = false;
    bool ended = false;

private:
    void read()
    {
        opened = true;
        ws.async_read(buffer,
                      [self = shared_from_this()](auto const &ec, std::size_t)
                      {
                          if (ec)
                              return self->end();
                          self->received.push_back(
                              boost::beast::buffers_to_string(self->buffer.data()));
                          self->buffer.clear();
                          self->read();
                      });
    }
    void write()
    {
        ws.async_write_some(frames.front().second, boost::asio::buffer(frames.front().first),
                            [self = shared_from_this()](auto const &ec, std::size_t)
                            {
                                self->frames.pop_front();
                                if (!ec && !self->frames.empty())
                                    self->write();
                            });
    }
    void end() { ended = true; }

    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws;
    boost::beast::flat_buffer buffer;
    std::deque<std::pair<std::string, bool>> frames;
};

class ProbeSessionFragmentTest : public DeviceSideTest
{
protected:
    std::shared_ptr<FragmentingDevice> fragmentingDevice()
    {
        auto device = std::make_shared<FragmentingDevice>(io);
        device->connect(endpoints[0]);
        EXPECT_TRUE(runUntil([&] { return device->open(); }));
        return device;
    }

    std::shared_ptr<FragmentingDevice> admittedDevice(unsigned long unitId)
    {
        auto device = fragmentingDevice();
        device->send(sim::registerMessage(unitId, testMac), true);
        EXPECT_TRUE(runUntil([&] { return !validations.empty(); }));
        validations.back().answer(true);
        validations.clear();
        EXPECT_TRUE(runUntil([&] { return device->received.size() == 1; }));
        return device;
    }

    std::size_t held() const { return manager->receiveBudget().held(); }
};

// However the bytes are split, an unadmitted device is ended at the limit, and holds no more
// than that in the meantime.
TEST_F(ProbeSessionFragmentTest, UnfinishedMessageBeforeAdmissionEndsAtFourKiB)
{
    startDeviceSide({}, {"127.0.0.1"}, 1 << 20);
    auto device = fragmentingDevice();
    device->send(std::string(2000, 'a'), false);
    device->send(std::string(2000, 'a'), false);
    ASSERT_TRUE(runUntil([&] { return held() == 4000; }));
    device->send(std::string(2000, 'a'), false);
    ASSERT_TRUE(runUntil([&] { return device->ended; }));
    EXPECT_EQ(log.lines(), Lines{"device disconnected before receiving ID: " + tooBig});
    EXPECT_EQ(held(), 0u);
    EXPECT_TRUE(validations.empty());
}

TEST_F(ProbeSessionFragmentTest, DeviceThatWouldPassTheReceiveBudgetEndsAndOthersGoOn)
{
    startDeviceSide({}, {"127.0.0.1"}, 100000);
    auto first = admittedDevice(7);
    auto second = admittedDevice(8);
    auto const head = sim::resultMessage(requestId, true, "");
    first->send(head + std::string(60000, 'a'), false);
    ASSERT_TRUE(runUntil([&] { return held() == head.size() + 60000; }));
    log.clear();
    second->send(head + std::string(60000, 'b'), false);

    ASSERT_TRUE(runUntil([&] { return second->ended; }));
    EXPECT_EQ(log.lines(), Lines{"unitId:8 disconnected: receive budget exhausted"});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].unitId, 8u);
    EXPECT_EQ(reports[0].reason, clean);
    EXPECT_FALSE(manager->isUnitOnline(8));
    EXPECT_EQ(manager->receiveBudget().exhausted(), 1u);
    EXPECT_EQ(held(), head.size() + 60000);

    // The first finishes its message, which is forwarded whole and no longer held.
    first->send("z", true);
    ASSERT_TRUE(runUntil([&] { return replies.size() == 1; }));
    EXPECT_EQ(std::get<Result>(replies[0].payload).text, std::string(60000, 'a') + "z");
    EXPECT_EQ(replies[0].fromUnit, 7u);
    EXPECT_EQ(held(), 0u);
    EXPECT_TRUE(first->open());
}

// A partly received message is given back to the budget when its device leaves.
// Between messages the session answers a ping with its payload, and pings a device silent for
// half of its idle time, whose answers keep it connected; messages go on after either.
TEST_F(ProbeSessionFragmentTest, PingsAreAnsweredAndAnswersKeepAnIdleDeviceConnected)
{
    startDeviceSide({std::chrono::seconds(30), std::chrono::milliseconds(400)});
    auto device = admittedDevice(7);
    device->ping("hello");
    ASSERT_TRUE(runUntil([&] { return !device->pongs.empty(); }));
    EXPECT_EQ(device->pongs, std::vector<std::string>{"hello"});
    // Three pings take longer than the idle time.
    ASSERT_TRUE(runUntil([&] { return device->pings.size() == 3; }));
    EXPECT_TRUE(device->open());
    EXPECT_TRUE(manager->isUnitOnline(7));
    device->send(sim::resultMessage(requestId, true, "x"), true);
    ASSERT_TRUE(runUntil([&] { return replies.size() == 1; }));
    EXPECT_EQ(std::get<Result>(replies[0].payload).text, "x");
    EXPECT_TRUE(reports.empty());
}

TEST_F(ProbeSessionFragmentTest, DeviceLeavingInTheMiddleOfAMessageGivesItsBytesBack)
{
    startDeviceSide({}, {"127.0.0.1"}, 100000);
    auto device = admittedDevice(7);
    device->send(sim::resultMessage(requestId, true, std::string(5000, 'a')), false);
    ASSERT_TRUE(runUntil([&] { return held() > 5000; }));
    device->closeSocket();
    ASSERT_TRUE(runUntil([&] { return held() == 0; }));
    EXPECT_EQ(manager->receiveBudget().exhausted(), 0u);
}

TEST_F(ProbeSessionIdleTest, DeviceThatNeverRegistersIsEndedWhileOthersWaitForTheirAnswer)
{
    startDeviceSide({std::chrono::seconds(30), std::chrono::seconds(30), std::chrono::seconds(1)});
    auto waiting = registeringDevice(7);
    auto silent = connectDevice(); // answers the pings, sends nothing else
    ASSERT_TRUE(runUntil([&] { return silent->ended().has_value(); }));
    EXPECT_EQ(log.lines(),
              (Lines{"unitId:7 received register request",
                     "device disconnected before receiving ID: Register message timed out "
                     "device:1"}));
    // The waiting device connected first: its limit, had it still run, would have ended it
    // before the silent one.
    EXPECT_FALSE(waiting->ended().has_value());
    validations[0].answer(true);
    ASSERT_TRUE(runUntil([&] { return waiting->received().size() == 1; }));
    EXPECT_TRUE(manager->isUnitOnline(7));
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
