#include "api/TestRequestJsonV1.hpp"
#include "device/DeviceProtocol.hpp"
#include "device/HeapTrimmer.hpp"
#include "device/ProbeTracker.hpp"
#include "support/DescriptorExhaustion.hpp"
#include "support/DeviceSideTest.hpp"

#include <unistd.h>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

class ProbeManagerTest : public DeviceSideTest
{
protected:
    // Two listening sockets that feed one registry.
    void SetUp() override { startDeviceSide({}, {"127.0.0.1", "::1"}); }

    // A request as the API side hands it over: its data are what the device is told to run.
    void const *run(unsigned long unitId, std::string const &task)
    {
        TestRequestJsonV1 request(sim::executeMessage(requestId, unitId, task, 1));
        return manager->requestTestRun(request);
    }
};

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

} // namespace
} // namespace kelvarin::triggerTesting::testSupport

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

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

} // namespace
} // namespace kelvarin::triggerTesting::testSupport

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

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
