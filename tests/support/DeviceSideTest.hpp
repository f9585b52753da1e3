#pragma once

#include "device/ProbeManager.hpp"
#include "sim/SimMessages.hpp"
#include "support/FakeDevice.hpp"
#include "support/LoopTest.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/uuid/string_generator.hpp>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::testSupport
{

inline EtherAddr const testMac{EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
inline boost::uuids::uuid const requestId =
    boost::uuids::string_generator()("0123abcd-4567-89ef-fedc-ba9876543210");

struct ValidationRequest
{
    unsigned long unitId;
    EtherAddr mac;
    std::function<void(bool)> answer;
};

struct DisconnectionReport
{
    unsigned long unitId;
    disconnection_reason reason;
    std::chrono::system_clock::time_point time;
};

// A started ProbeManager on loopback whose three functions record what the device side asks,
// with devices that connect to it.
class DeviceSideTest : public LoopTest
{
protected:
    void startDeviceSide(ProbeSession::Timeouts timeouts = {},
                         std::vector<char const *> const &addresses = {"127.0.0.1"},
                         std::size_t receiveBudget = 0)
    {
        std::vector<boost::asio::ip::tcp::acceptor> acceptors;
        for (auto const *address : addresses)
        {
            acceptors.emplace_back(
                io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(address), 0));
            endpoints.push_back(acceptors.back().local_endpoint());
        }
        manager = std::make_unique<ProbeManager>(
            io, std::move(acceptors),
            [this](unsigned long const &unitId, EtherAddr const &mac,
                   std::function<void(bool)> answer) {
                validations.push_back({unitId, mac, std::move(answer)});
            },
            [this](Reply reply)
            {
                if (failResults)
                    throw std::runtime_error("Invalid JSON");
                replies.push_back(std::move(reply));
            },
            timeouts, receiveBudget);
        manager->setReportDisconnectFn(
            [this](unsigned long const &unitId, disconnection_reason reason,
                   std::chrono::system_clock::time_point time) {
                reports.push_back({unitId, reason, time});
            });
        manager->start();
    }

    // A device that does not read receives nothing and answers no pings.
    std::unique_ptr<FakeDevice> connectDevice(std::size_t listener = 0, bool reading = true)
    {
        auto device = std::make_unique<FakeDevice>(io, endpoints.at(listener), "", reading);
        EXPECT_TRUE(device->waitOpen());
        return device;
    }

    // Connects and registers; the validation request is the last one in `validations`.
    std::unique_ptr<FakeDevice> registeringDevice(unsigned long unitId, std::size_t listener = 0,
                                                  bool reading = true)
    {
        auto device = connectDevice(listener, reading);
        auto const asked = validations.size();
        device->send(sim::registerMessage(unitId, testMac));
        EXPECT_TRUE(runUntil([&] { return validations.size() > asked; }));
        return device;
    }

    // A device that the API accepted and that has received its answer.
    std::unique_ptr<FakeDevice> validatedDevice(unsigned long unitId, std::size_t listener = 0)
    {
        auto device = registeringDevice(unitId, listener);
        validations.back().answer(true);
        EXPECT_TRUE(runUntil([&] { return device->received().size() == 1; }));
        return device;
    }

    // Closes the device's side once everything it sent has left, and waits until the session
    // has logged the end of the connection.
    void disconnect(FakeDevice &device, unsigned long unitId)
    {
        ASSERT_TRUE(runUntil([&] { return device.allSent(); }));
        auto const ended = log.count(endOfFileLine(unitId));
        device.closeSocket();
        ASSERT_TRUE(runUntil([&] { return log.count(endOfFileLine(unitId)) > ended; }));
    }

    static std::string endOfFileLine(unsigned long unitId)
    {
        return "unitId:" + std::to_string(unitId) + " disconnected: End of file asio.misc:2";
    }

    std::vector<ValidationRequest> validations;
    std::vector<Reply> replies;
    std::vector<DisconnectionReport> reports;
    bool failResults = false;
    std::unique_ptr<ProbeManager> manager;
    std::vector<boost::asio::ip::tcp::endpoint> endpoints;
};

} // namespace kelvarin::triggerTesting::testSupport
