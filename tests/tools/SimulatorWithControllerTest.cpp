// The simulator's API server, validator and devices around a real controller in this process,
// all on loopback: what one side sends must be what the other side reports, text for text.
#include "api/TestRequestJsonV1.hpp"
#include "app/Controller.hpp"
#include "device/DeviceSideFixture.hpp"
#include "sim/SimApiServer.hpp"
#include "sim/SimFleet.hpp"
#include "sim/SimValidator.hpp"
#include "support/FakeDevice.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::sim
{
namespace
{

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using test::DeviceLogCapture;
using test::FakeDevice;

// A port the kernel just handed out as ephemeral, free again for the controller to listen on.
unsigned short freeDevicePort(boost::asio::io_context &io)
{
    tcp::acceptor probe(io, tcp::endpoint(tcp::v6(), 0));
    return probe.local_endpoint().port();
}

class SimulatorWithController : public ::testing::Test
{
protected:
    // The API server takes an ephemeral port; the validator needs the same one on its own
    // address, since the controller uses one service for both.
    void startServers(SimApiServer::Settings api, ValidationPolicy policy)
    {
        for (int attempt = 0;; ++attempt)
        {
            apiServer = std::make_unique<SimApiServer>(
                io, tcp::endpoint(make_address("127.0.0.2"), 0), api, record("api"));
            try
            {
                validator = std::make_unique<SimValidator>(
                    io, tcp::endpoint(make_address("127.0.0.3"), apiServer->localEndpoint().port()),
                    policy, record("validator"));
                break;
            }
            catch (boost::system::system_error const &)
            {
                if (attempt == 10)
                    throw;
            }
        }
        apiServer->start();
    }

    void startController()
    {
        APIOptions api{"127.0.0.2", "127.0.0.3", std::to_string(apiServer->localEndpoint().port()),
                       std::chrono::seconds(1)};
        devicePort = freeDevicePort(io);
        DeviceOptions devices{false, {std::to_string(devicePort)}};
        controller = std::make_unique<Controller>(io, api, devices);
        ASSERT_TRUE(runUntil(
            [&]
            {
                return apiServer->stats().controllersRegistered == 1 &&
                       validator->stats().controllersRegistered == 1;
            }));
    }

    void startFleet(SimFleet::Settings settings)
    {
        settings.controller = tcp::endpoint(make_address("127.0.0.1"), devicePort);
        settings.retryDelay = std::chrono::milliseconds(50);
        fleet = std::make_unique<SimFleet>(io, settings, record("devices"));
        fleet->start();
    }

    SimApiServer::Report record(std::string const &who)
    {
        return [this, who](std::string const &line) { reports.push_back(who + "| " + line); };
    }

    std::vector<std::string> reportsWith(std::string const &who, std::string const &text) const
    {
        std::vector<std::string> found;
        for (auto const &line : reports)
            if (line.rfind(who + "| ", 0) == 0 && line.find(text) != std::string::npos)
                found.push_back(line.substr(line.find(": ", who.size() + 2) + 2));
        return found;
    }

    bool hasReport(std::string const &who, std::string const &text) const
    {
        return !reportsWith(who, text).empty();
    }

    bool runUntil(std::function<bool()> const &done)
    {
        return FakeDevice::runUntil(io, done, std::chrono::seconds(10));
    }

    DeviceLogCapture log;
    boost::asio::io_context io;
    std::vector<std::string> reports;
    std::unique_ptr<SimApiServer> apiServer;
    std::unique_ptr<SimValidator> validator;
    std::unique_ptr<Controller> controller;
    std::unique_ptr<SimFleet> fleet;
    unsigned short devicePort = 0;
};

std::string afterPrefix(std::string const &line, std::string const &prefix)
{
    auto const at = line.find(prefix);
    return at == std::string::npos ? std::string() : line.substr(at + prefix.size());
}

TEST_F(SimulatorWithController, TestsReachAdmittedDevicesAndResultsComeBack)
{
    SimApiServer::Settings api;
    api.rate = 40;
    api.units = {101, 102, 103};
    startServers(api, ValidationPolicy({101, 102}, {}));
    startController();
    SimFleet::Settings devices;
    devices.units = {101, 102, 103};
    devices.resultsPerRun = 2;
    startFleet(devices);

    ASSERT_TRUE(runUntil(
        [&]
        {
            return fleet->stats().admitted == 2 && fleet->stats().refused == 1 &&
                   apiServer->stats().testsAnswered - apiServer->stats().errorsUnreachable >= 6;
        }));
    EXPECT_EQ(validator->stats().validateRequests, 3u);
    EXPECT_EQ(validator->stats().admitted, 2u);
    EXPECT_EQ(validator->stats().refused, 1u);
    EXPECT_TRUE(hasReport("validator",
                          "validate: {\"type\":\"validate\",\"data\":{\"unit_id\":103,\"mac\":"
                          "\"020000000067\"}} -> {\"type\":\"validate\",\"data\":{\"unit_id\":103,"
                          "\"mac\":\"020000000067\",\"result\":false}}"));
    EXPECT_TRUE(log.contains("unitId:103 telling to the device that validation 0"));

    // Each test the device ran comes back as its two results, in order, with the test's fields.
    std::vector<std::string> executes;
    for (auto const &line : reportsWith("api", "execute: "))
        executes.push_back(afterPrefix(line, "execute: "));
    auto const run = std::find_if(
        executes.begin(), executes.end(),
        [&](std::string const &text)
        {
            TestRequestJsonV1 const request(text);
            return request.getProbeId() == 101 &&
                   hasReport("devices", "run " + boost::uuids::to_string(request.getId()));
        });
    ASSERT_NE(run, executes.end());
    auto const id = boost::uuids::to_string(TestRequestJsonV1(*run).getId());
    auto const tail =
        "\"test_id\":\"" + id + "\",\"unit_id\":101,\"task\":\"ping\",\"action_id\":1}}";
    ASSERT_TRUE(runUntil([&] { return reportsWith("api", id).size() >= 3; }));
    auto const results =
        reportsWith("api", "result: {\"type\":\"execute\",\"data\":{\"status\":\"");
    std::vector<std::string> forTest;
    for (auto const &line : results)
        if (line.find(id) != std::string::npos)
            forTest.push_back(afterPrefix(line, "result: "));
    EXPECT_EQ(
        forTest,
        (std::vector<std::string>{
            "{\"type\":\"execute\",\"data\":{\"status\":\"running\",\"part\":1,"
            "\"of\":2," +
                tail,
            "{\"type\":\"execute\",\"data\":{\"status\":\"ok\",\"part\":2,\"of\":2," + tail}));

    // Tests for the refused unit come back as errors.
    EXPECT_TRUE(hasReport("api", "result: {\"type\":\"execute\",\"data\":{\"status\":\"error\","
                                 "\"data\":{\"code\":\"UNREACHABLE\",\"message\":\"\"},"));
    EXPECT_GT(apiServer->stats().errorsUnreachable, 0u);
    EXPECT_EQ(apiServer->stats().malformed, 0u);

    // Ending the fleet closes every connection; the admitted ones are reported, cleanly.
    fleet->stop();
    ASSERT_TRUE(runUntil([&] { return validator->stats().disconnectionsClean == 2; }));
    std::regex const report(R"(\{"type":"unit_disconnect","reason":"clean","dtime_utc":")"
                            R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d","unit_id":10[12]\})");
    auto const disconnections = reportsWith("validator", "disconnection reported: ");
    ASSERT_EQ(disconnections.size(), 2u);
    for (auto const &line : disconnections)
        EXPECT_TRUE(std::regex_match(afterPrefix(line, "disconnection reported: "), report))
            << line;
    EXPECT_TRUE(runUntil([&] { return fleet->finished(); }));
    EXPECT_EQ(fleet->stats().disconnected, 0u);
    EXPECT_EQ(fleet->stats().protocolErrors, 0u);
}

TEST_F(SimulatorWithController, MisbehavingDevicesAsTheControllerSeesThem)
{
    SimApiServer::Settings api;
    api.rate = 40;
    api.units = {201, 202, 203, 204};
    api.onlyOnline = true;
    startServers(api, {});
    startController();
    SimFleet::Settings devices;
    devices.units = {201, 202, 203};
    devices.misbehaviours = {{201, {Misbehaviour::Mode::drop, 1}},
                             {202, {Misbehaviour::Mode::malformed, 0}},
                             {203, {Misbehaviour::Mode::silent, 1}}};
    startFleet(devices);

    ASSERT_TRUE(runUntil(
        [&]
        {
            auto const &seen = fleet->stats();
            return seen.dropped == 1 && seen.malformedSent == 1 && seen.silentRuns >= 2 &&
                   validator->stats().disconnectionsClean == 2;
        }));
    // Dropping, and garbage that makes the controller drop the device, are both reported.
    EXPECT_TRUE(hasReport("validator", "\"reason\":\"clean\""));
    EXPECT_TRUE(hasReport("validator", "\"unit_id\":201}"));
    EXPECT_TRUE(runUntil([&] { return log.contains("unitId:202 disconnected: Bad results"); }));
    EXPECT_TRUE(runUntil([&] { return fleet->stats().disconnected == 1; }));
    EXPECT_TRUE(hasReport("devices", "device 202: connection ended: "));
    EXPECT_TRUE(hasReport("validator", "\"unit_id\":202}"));
    // Only units the controller calls online are tested; 204 has no device at all.
    EXPECT_GT(apiServer->stats().offlineAnswers, 0u);
    EXPECT_TRUE(hasReport("api", "online answer: {\"type\":\"isOnline\",\"data\":{\"unit_id\":204,"
                                 "\"result\":false}}"));
    for (auto const &line : reportsWith("api", "execute: "))
        EXPECT_EQ(line.find("\"unit_id\":204,"), std::string::npos) << line;
    // The dropping device answered its first test; the silent one its first only.
    EXPECT_EQ(fleet->stats().resultsSent, 2u);
}

} // namespace
} // namespace kelvarin::triggerTesting::sim
