#include "api/TestRequestJsonV1.hpp"
#include "device/DeviceProtocol.hpp"
#include "support/DescriptorExhaustion.hpp"
#include "support/DeviceSideTest.hpp"

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <deque>
#include <unistd.h>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::string_literals;

std::string const resultLine =
    "received result for requestId:0123abcd-4567-89ef-fedc-ba9876543210 and is last: ";

// Two listening sockets that feed one registry.
class ProbeSessionTest : public DeviceSideTest
{
protected:
    void SetUp() override { startDeviceSide({}, {"127.0.0.1", "::1"}); }

    // A request as the API side hands it over: its data are what the device is told to run.
    void const *run(unsigned long unitId, std::string const &task)
    {
        TestRequestJsonV1 request(sim::executeMessage(requestId, unitId, task, 1));
        return manager->requestTestRun(request);
    }
};

using ProbeManagerTest = ProbeSessionTest;

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

TEST_F(ProbeManagerTest, RunMessagesAreWrittenInCallOrderAndLogged)
{
    auto device = validatedDevice(7);
    log.clear();
    Lines const tasks{"t", std::string(5000, 'a')};
    for (auto const &task : tasks)
        run(7, task);
    run(8, "t"); // not online: answered at once, nothing logged

    ASSERT_TRUE(runUntil([&] { return device->received().size() == 1 + tasks.size(); }));
    for (std::size_t i = 0; i < tasks.size(); ++i)
        EXPECT_EQ(
            device->received()[1 + i],
            encodeRunMessage(requestId, "{\"test_id\":\"0123abcd-4567-89ef-fedc-ba9876543210\","
                                        "\"unit_id\":7,\"task\":\"" +
                                            tasks[i] + "\",\"action_id\":1}"))
            << i;
    EXPECT_EQ(log.lines(), Lines(2, "unitId:7 telling to the device to run "
                                    "requestId:0123abcd-4567-89ef-fedc-ba9876543210"));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].id, requestId);
    EXPECT_EQ(std::get<Error>(replies[0].payload).code, Error::UNREACHABLE);
}

// Accepting fails while the process has no descriptor left: the acceptor pauses between
// attempts instead of spinning, and serves the device waiting in the backlog once there are.
TEST_F(ProbeManagerTest, AcceptingPausesWithoutDescriptorsAndResumesAfter)
{
    std::string const failure = "[ProbeServer] Error listening in 127.0.0.1: Too many open files";
    auto device = std::make_unique<FakeDevice>(io, endpoints[0]);
    auto const started = std::chrono::steady_clock::now();
    {
        DescriptorExhaustion exhaustion;
        ASSERT_TRUE(waitForLog(failure));
        // The pauses are 10 ms or longer: a spinning acceptor would log thousands.
        runUntil([] { return false; }, std::chrono::milliseconds(50));
    }
    auto const elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LE(log.count(failure), 1 + elapsed / std::chrono::milliseconds(10));
    EXPECT_TRUE(device->waitOpen());
}

TEST_F(ProbeManagerTest, SecondConnectionOfAUnitReplacesTheFirst)
{
    auto first = validatedDevice(7);
    auto second = validatedDevice(7, 1); // through the other listening socket
    run(7, "t");
    ASSERT_TRUE(runUntil([&] { return second->received().size() == 2; }));
    EXPECT_EQ(first->received().size(), 1u);

    // The replaced connection still forwards its results.
    first->send(sim::resultMessage(requestId, true, "{\"from\":1}"));
    ASSERT_TRUE(runUntil([&] { return replies.size() == 1; }));
    EXPECT_EQ(std::get<Result>(replies[0].payload).text, "{\"from\":1}");

    // Its end neither removes the newer entry nor reports the unit as gone.
    disconnect(*first, 7);
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(manager->isUnitOnline(7));
    disconnect(*second, 7);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].unitId, 7u);
    EXPECT_FALSE(manager->isUnitOnline(7));
}

// The API side answers the runs a session took when it ends, knowing the session by what
// dispatch returned; a session that took none is not told about.
TEST_F(ProbeManagerTest, EndOfASessionThatTookRunsIsToldWithItsIdentity)
{
    std::vector<void const *> ended;
    manager->setSessionEndFn([&](void const *session) { ended.push_back(session); });
    auto idle = validatedDevice(8);
    auto busy = validatedDevice(7);
    EXPECT_EQ(run(9, "t"), nullptr); // not online
    auto const *session = run(7, "t");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(run(7, "u"), session);
    ASSERT_TRUE(runUntil([&] { return busy->received().size() == 3; }));

    disconnect(*idle, 8);
    EXPECT_TRUE(ended.empty());
    disconnect(*busy, 7);
    EXPECT_EQ(ended, std::vector<void const *>{session});
}

// A reload's hand-over within one process: the held manager's connections go on in a second
// manager, on duplicates of their descriptors, as the next program would take them.
TEST_F(ProbeManagerTest, HeldConnectionsGoOnInTheNextManagerFromTheirMessageBoundary)
{
    auto admitted = validatedDevice(7);
    auto waiting = registeringDevice(8);
    auto unregistered = connectDevice();
    // Two connections of unit 9: the older one is admitted last, during the hold, and owns it.
    auto older = registeringDevice(9);
    auto newer = validatedDevice(9, 1);
    admitted->send(sim::resultMessage(requestId, false, "first"));
    ASSERT_TRUE(runUntil([&] { return replies.size() == 1; }));
    // A held session reads nothing more: what comes during the hold goes to the next manager.
    manager->hold();
    admitted->send(sim::resultMessage(requestId, true, "second"));
    validations[2].answer(true);
    ASSERT_TRUE(runUntil([&] { return admitted->allSent() && manager->readyForHandOver(); }));

    auto const seven = manager->connectionsOf(7).at(0);
    auto handOver = manager->handOver();
    ASSERT_EQ(handOver.listeners.size(), 2u);
    ASSERT_EQ(handOver.devices.size(), 5u);
    // The register message's deadline goes on from where it was.
    auto &notRegistered = handOver.devices[2];
    ASSERT_EQ(notRegistered.state, 0u);
    ASSERT_TRUE(notRegistered.registrationLeft.has_value());
    EXPECT_LE(*notRegistered.registrationLeft, ProbeSession::Timeouts{}.registration);
    notRegistered.registrationLeft = std::chrono::milliseconds::zero();
    // So does the idle one: the newer connection of unit 9 has been silent for all of it.
    auto &silent = handOver.devices[4];
    EXPECT_LT(silent.silence, std::chrono::seconds(5));
    silent.silence =
        std::chrono::duration_cast<std::chrono::milliseconds>(ProbeSession::Timeouts{}.idle);
    std::vector<Reply> nextReplies;
    ProbeManager next(
        io, {}, [](unsigned long const &, EtherAddr const &, std::function<void(bool)>) {},
        [&](Reply reply) { nextReplies.push_back(std::move(reply)); });
    next.setReportDisconnectFn(
        [](unsigned long const &, disconnection_reason, std::chrono::system_clock::time_point) {});
    next.start();
    for (auto &record : handOver.devices)
        record.descriptor = ::dup(record.descriptor);
    auto const sessions = next.adopt(handOver.devices);
    ASSERT_EQ(sessions.size(), 5u);
    EXPECT_TRUE(next.isUnitOnline(7));
    EXPECT_FALSE(next.isUnitOnline(8)); // still waiting for the validator
    // What operators see of a connection goes over as it was.
    auto const adopted = next.connectionsOf(7).at(0);
    EXPECT_EQ(adopted.mac, testMac);
    EXPECT_EQ(adopted.connectedAt, seven.connectedAt);
    EXPECT_EQ(adopted.registeredAt, seven.registeredAt);
    EXPECT_EQ(adopted.admittedAt, seven.admittedAt);
    // Ended by the next manager; the first one still holds the original of its descriptor.
    ASSERT_TRUE(runUntil(
        [&]
        {
            return log.count("device disconnected before receiving ID: Register message timed "
                             "out device:1") == 1;
        }));
    ASSERT_TRUE(runUntil(
        [&]
        {
            return log.count("unitId:9 disconnected: The socket was closed due to a timeout "
                             "boost.beast:1") == 1;
        }));
    EXPECT_EQ(next.openConnections(), 3u);

    ASSERT_TRUE(runUntil([&] { return nextReplies.size() == 1; }));
    EXPECT_EQ(std::get<Result>(nextReplies[0].payload).text, "second");
    EXPECT_TRUE(std::get<Result>(nextReplies[0].payload).isLast);
    EXPECT_EQ(replies.size(), 1u); // not the held manager's too
    // What the next manager sends is the device's next message: no handshake, no stray bytes.
    TestRequestJsonV1 request(sim::executeMessage(requestId, 7, "t", 1));
    next.requestTestRun(request);
    ASSERT_TRUE(runUntil([&] { return admitted->received().size() == 2; }));
    EXPECT_EQ(sim::decodeRunMessage(admitted->received()[1])->data,
              "{\"test_id\":\"0123abcd-4567-89ef-fedc-ba9876543210\",\"unit_id\":7,"
              "\"task\":\"t\",\"action_id\":1}");
    // The unit's tests go where they went; the answer given during the hold arrives once.
    TestRequestJsonV1 forNine(sim::executeMessage(requestId, 9, "t", 1));
    next.requestTestRun(forNine);
    ASSERT_TRUE(runUntil([&] { return older->received().size() == 2; }));
    EXPECT_EQ(sim::decodeValidationAnswer(older->received()[0]), true);
    EXPECT_EQ(newer->received().size(), 1u);
    EXPECT_FALSE(admitted->ended().has_value());
    EXPECT_FALSE(waiting->ended().has_value());
    EXPECT_EQ(reports.size(), 0u);
}

// A reload that fails: what the records took of the sessions' queues comes back, and goes out.
TEST_F(ProbeManagerTest, AFailedHandOverGivesEachSessionItsQueueBack)
{
    auto waiting = registeringDevice(8);
    manager->hold();
    validations[0].answer(true); // queued, as the session holds
    ASSERT_TRUE(runUntil([&] { return manager->readyForHandOver(); }));
    auto handOver = manager->handOver();
    ASSERT_EQ(handOver.devices.at(0).unsent.size(), 1u);
    manager->takeBack(handOver.devices);
    manager->resume();
    ASSERT_TRUE(runUntil([&] { return waiting->received().size() == 1; }));
    EXPECT_EQ(sim::decodeValidationAnswer(waiting->received()[0]), true);
}

using State = DeviceConnectionView::State;

// Units 3 (waiting for its answer), 5 (admitted, then a newer refused connection) and 9
// (admitted), as operators look them up.
class ProbeManagerLookupTest : public DeviceSideTest
{
protected:
    void SetUp() override
    {
        startDeviceSide();
        unregistered = connectDevice(); // never listed
        devices.push_back(registeringDevice(3));
        devices.push_back(validatedDevice(5));
        devices.push_back(registeringDevice(5));
        validations.back().answer(false);
        devices.push_back(validatedDevice(9));
        EXPECT_TRUE(runUntil([&] { return devices[2]->received().size() == 1; }));
    }

    std::unique_ptr<FakeDevice> unregistered;
    std::vector<std::unique_ptr<FakeDevice>> devices;
};

TEST_F(ProbeManagerLookupTest, AUnitsConnectionsNewestFirstWithTheirIdentityAndTimes)
{
    auto const before = std::chrono::system_clock::now();
    auto const five = manager->connectionsOf(5);
    ASSERT_EQ(five.size(), 2u);
    EXPECT_EQ(five[0].state, State::refused);
    EXPECT_FALSE(five[0].admittedAt.has_value());
    EXPECT_EQ(five[1].state, State::admitted);
    ASSERT_TRUE(five[1].admittedAt.has_value());
    EXPECT_LE(five[1].connectedAt, five[1].registeredAt);
    EXPECT_LE(five[1].registeredAt, *five[1].admittedAt);
    EXPECT_LE(*five[1].admittedAt, before);
    EXPECT_LT(five[1].connectedAt, five[0].connectedAt);
    EXPECT_EQ(five[1].mac, testMac);
    ASSERT_TRUE(five[1].peer.has_value());
    EXPECT_EQ(five[1].peer->address(), boost::asio::ip::make_address("127.0.0.1"));
    EXPECT_NE(five[0].session, five[1].session);
    EXPECT_TRUE(manager->connectionsOf(4).empty());

    // A connection that ends leaves the index with it.
    disconnect(*devices[1], 5);
    ASSERT_EQ(manager->connectionsOf(5).size(), 1u);
    EXPECT_EQ(manager->connectionsOf(5)[0].state, State::refused);
}

TEST_F(ProbeManagerLookupTest, PagesHoldWholeUnitsAndNameTheNextOnlyWhenMoreFollow)
{
    struct Case
    {
        DevicePageQuery query;
        std::vector<std::pair<unsigned long, State>> listed;
        std::optional<unsigned long> next;
    };
    auto const admitted = State::admitted, refused = State::refused, waiting = State::validating;
    Case const cases[] = {
        {{}, {{3, waiting}, {5, refused}, {5, admitted}, {9, admitted}}, std::nullopt},
        {{std::nullopt, std::nullopt, 1}, {{3, waiting}}, 3},
        // A unit with more connections than the limit fills a page alone.
        {{std::nullopt, 3, 1}, {{5, refused}, {5, admitted}}, 5},
        {{std::nullopt, 3, 2}, {{5, refused}, {5, admitted}}, 5},
        {{std::nullopt, 4, 4}, {{5, refused}, {5, admitted}, {9, admitted}}, std::nullopt},
        // Full, with nothing after it: the last page.
        {{std::nullopt, 5, 1}, {{9, admitted}}, std::nullopt},
        {{std::nullopt, 9, 1000}, {}, std::nullopt},
        {{admitted, std::nullopt, 1}, {{5, admitted}}, 5},
        {{refused, std::nullopt, 1}, {{5, refused}}, std::nullopt},
        {{waiting, 3, 100}, {}, std::nullopt},
    };
    for (auto const &[query, listed, next] : cases)
    {
        auto const page = manager->devicePage(query);
        std::vector<std::pair<unsigned long, State>> got;
        for (auto const &connection : page.connections)
            got.emplace_back(connection.unitId, connection.state);
        EXPECT_EQ(got, listed) << "after " << query.after.value_or(0) << " limit " << query.limit;
        EXPECT_EQ(page.next, next)
            << "after " << query.after.value_or(0) << " limit " << query.limit;
    }
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
