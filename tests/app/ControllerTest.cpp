#include "app/Controller.hpp"

#include "sim/SimMessages.hpp"
#include "status/APIStatusSession.hpp"
#include "status/StatusMessages.hpp"
#include "support/FakeDevice.hpp"
#include "support/LoopTest.hpp"

#include <boost/asio/ip/host_name.hpp>
#include <boost/uuid/random_generator.hpp>

#include <string>
#include <unistd.h>
#include <vector>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

// The device side's validation callback must reach the table of pending validations as the
// device made it: the table recognises it by its type to forget askers that are gone, and a
// wrapper on the way would keep every departed device's asker, and its request, for good.
TEST(ControllerTest, AnAskerThatDepartedIsSweptAndNotAskedFor)
{
    boost::asio::io_context io;
    ClogCapture log;
    FakeApiServer validator{io};
    validator.setRejecting(true); // the validator is away while the device asks

    // The listening socket is given as a previous program's, so that its ephemeral port is
    // known; the API servers' address has no server.
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    auto const devicePort = acceptor.local_endpoint();
    ReloadState inherited;
    inherited.listeners.push_back({acceptor.release(), false});
    APIOptions const apiOptions{"127.0.0.2", "127.0.0.1",
                                std::to_string(validator.endpoint().port())};
    Controller controller(io, apiOptions, DeviceOptions{}, &inherited);

    FakeDevice device(io, devicePort);
    ASSERT_TRUE(device.waitOpen());
    device.send(sim::registerMessage(7, EtherAddr{EtherAddr::Octets{0, 1, 2, 3, 4, 5}}));
    ASSERT_TRUE(runUntil(io, [&] { return controller.state().validationsPending == 1; }));
    device.closeSocket();
    ASSERT_TRUE(runUntil(io, [&] { return controller.state().deviceConnections == 0; }));

    // The registration sweeps the table before asking again for what is pending.
    validator.setRejecting(false);
    ASSERT_TRUE(runUntil(io, [&] { return controller.state().validationsPending == 0; }));
    ASSERT_TRUE(runUntil(io, [&] { return !validator.allReceived().empty(); }));
    EXPECT_EQ(validator.allReceived(),
              std::vector{buildValidatorRegistration(boost::asio::ip::host_name())});
}

// A handed-over device whose connection cannot be taken over is gone as a lost one is: its
// run is answered at once, not kept for good against the running-request bound, and its unit
// is reported, here to a backlog that the handed-over reports fill: its oldest is dropped. The
// devices before and after it in the state go on.
TEST(ControllerTest, ADeviceThatCannotBeTakenOverHasItsRunAnsweredAndTheOthersGoOn)
{
    boost::asio::io_context io;
    ClogCapture log;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    auto const listening = acceptor.local_endpoint();
    ReloadState inherited;
    // Connections whose handshake a previous program made: nothing is read from them here.
    std::vector<boost::asio::ip::tcp::socket> peers;
    auto const handedOver = [&](std::uint64_t unitId, int descriptor)
    {
        ReloadState::Device device;
        device.descriptor = descriptor;
        device.unitId = unitId;
        device.state = 2; // admitted
        inherited.devices.push_back(device);
        inherited.requests.push_back({{boost::uuids::random_generator()(), unitId, "t", 1},
                                      static_cast<std::int64_t>(inherited.devices.size() - 1)});
    };
    for (std::uint64_t const unitId : {6, 7, 8})
    {
        auto &peer = peers.emplace_back(io);
        peer.connect(listening);
        auto accepted = acceptor.accept();
        handedOver(unitId, unitId == 7 ? 999999 // above any descriptor limit here: never open
                                       : accepted.release());
    }
    inherited.listeners.push_back({acceptor.release(), false});
    inherited.reports.assign(APIStatusSession::reportBacklogLimit, "{}");
    Controller controller(io, {"127.0.0.2", "127.0.0.2", "1"}, DeviceOptions{}, &inherited);
    auto const state = controller.state();
    EXPECT_EQ(state.deviceConnections, 2u);
    EXPECT_EQ(state.devicesOnline, 2u);
    EXPECT_EQ(state.testsRunning, 2u);
    EXPECT_EQ(state.totals.repliesUnknown, 1u);
    EXPECT_EQ(state.reportsBacklog, APIStatusSession::reportBacklogLimit);
    EXPECT_EQ(state.totals.reportsDropped, 1u);
    EXPECT_EQ(log.count("unitId:7 not taken over: Bad file descriptor"), 1u);
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
