#pragma once

#include "device/ProbeManager.hpp"
#include "support/ClogCapture.hpp"
#include "support/FakeDevice.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::test
{

using boost::asio::ip::tcp;

using DeviceLogCapture = testSupport::ClogCapture;

inline tcp::acceptor listenOn(boost::asio::io_context &io, char const *address)
{
    return tcp::acceptor(io, tcp::endpoint(boost::asio::ip::make_address(address), 0));
}

inline EtherAddr::Octets const testMac{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

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

// A started ProbeManager on loopback whose three functions record what the device side asks.
class DeviceSideTest : public ::testing::Test
{
protected:
    void startDeviceSide(ProbeSession::Timeouts timeouts = {}, bool withReportFn = true)
    {
        std::vector<tcp::acceptor> acceptors;
        acceptors.push_back(listenOn(io, "127.0.0.1"));
        endpoint = acceptors.back().local_endpoint();
        startDeviceSide(std::move(acceptors), timeouts, withReportFn);
    }

    void startDeviceSide(std::vector<tcp::acceptor> acceptors, ProbeSession::Timeouts timeouts,
                         bool withReportFn = true)
    {
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
            timeouts);
        if (withReportFn)
            manager->setReportDisconnectFn(
                [this](unsigned long const &unitId, disconnection_reason reason,
                       std::chrono::system_clock::time_point time) {
                    reports.push_back({unitId, reason, time});
                });
        manager->start();
    }

    bool runUntil(std::function<bool()> const &done) { return FakeDevice::runUntil(io, done); }

    std::unique_ptr<FakeDevice> connectDevice(tcp::endpoint const &to)
    {
        auto device = std::make_unique<FakeDevice>(io);
        EXPECT_TRUE(device->connectAndWait(to));
        return device;
    }

    // Connects and registers; the validation request is the last one in `validations`.
    std::unique_ptr<FakeDevice> registeringDevice(unsigned long unitId, tcp::endpoint const &to)
    {
        auto device = connectDevice(to);
        auto const asked = validations.size();
        device->send(FakeDevice::registerMessage(unitId, testMac));
        EXPECT_TRUE(runUntil([&] { return validations.size() > asked; }));
        return device;
    }
    std::unique_ptr<FakeDevice> registeringDevice(unsigned long unitId)
    {
        return registeringDevice(unitId, endpoint);
    }

    // A device that the API accepted and that has received its answer.
    std::unique_ptr<FakeDevice> validatedDevice(unsigned long unitId, tcp::endpoint const &to)
    {
        auto device = registeringDevice(unitId, to);
        if (!validations.empty())
            validations.back().answer(true);
        EXPECT_TRUE(runUntil([&] { return device->received().size() == 1; }));
        return device;
    }
    std::unique_ptr<FakeDevice> validatedDevice(unsigned long unitId)
    {
        return validatedDevice(unitId, endpoint);
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

    DeviceLogCapture log;
    boost::asio::io_context io;
    std::vector<ValidationRequest> validations;
    std::vector<Reply> replies;
    std::vector<DisconnectionReport> reports;
    bool failResults = false;
    std::unique_ptr<ProbeManager> manager;
    tcp::endpoint endpoint;
};

} // namespace kelvarin::triggerTesting::test
