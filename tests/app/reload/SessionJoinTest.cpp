#include "app/reload/SessionJoin.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

struct FakeSession
{
    int answers = 0;
    std::function<void(bool)> validationAsker()
    {
        return [this](bool) { ++answers; };
    }
};

TestMetadata metadataOf(unsigned long unitId)
{
    return {{}, unitId, "task of " + std::to_string(unitId), 1};
}

ValidateMessage::IdType keyOf(std::uint64_t unitId)
{
    return {unitId, EtherAddr(EtherAddr::Octets{0, 1, 2, 3, 4, static_cast<std::uint8_t>(unitId)})};
}

// Sessions are named by their records' indexes on the way out and by the adopting sessions on
// the way in; a session that handed nothing over names nothing, and a record not adopted names
// the stand-in of a departed device.
TEST(SessionJoin, EveryRunAndAskerFollowsItsDeviceAcrossTheReload)
{
    int const a = 0, b = 0, gone = 0; // three device sessions of the old program
    DeviceSideHandOver devices;
    devices.listeners = {{3, false}};
    devices.devices.resize(2);
    devices.devices[0].descriptor = 10;
    devices.devices[1].descriptor = 11;
    devices.sessions = {&a, &b};
    APISideHandOver api;
    api.sessions.resize(2);
    api.sessions[0].descriptor = -1; // a queue whose server was not connected
    api.sessions[1].descriptor = 20;
    api.requests = {
        {metadataOf(1), &b}, {metadataOf(2), &gone}, {metadataOf(3), nullptr}, {metadataOf(4), &a}};
    api.status.reports = {"r"};
    api.status.validations = {{keyOf(5), {&b, &gone, &a}}, {keyOf(6), {&gone}}};

    auto state = joinHandOvers(std::move(devices), std::move(api));
    EXPECT_EQ(carriedDescriptors(state), (std::vector<int>{3, 10, 11, 20}));
    std::vector<std::int64_t> named;
    for (auto const &request : state.requests)
        named.push_back(request.device);
    EXPECT_EQ(named, (std::vector<std::int64_t>{1, -1, -1, 0}));
    EXPECT_EQ(state.requests[0].metadata.task, "task of 1");
    ASSERT_EQ(state.validations.size(), 2u);
    EXPECT_EQ(state.validations[0].askers, (std::vector<std::uint32_t>{1, 0}));
    EXPECT_EQ(state.validations[0].mac, std::string("\x00\x01\x02\x03\x04\x05", 6));
    EXPECT_TRUE(state.validations[1].askers.empty());
    EXPECT_EQ(state.reports, std::vector<std::string>{"r"});

    // The next program adopted the first record only.
    std::vector<std::shared_ptr<FakeSession>> const adopted{std::make_shared<FakeSession>(),
                                                            nullptr};
    char const notAdopted = 0;
    auto const running = requestsOfAdopted(state.requests, adopted, &notAdopted);
    std::vector<void const *> sessions;
    for (auto const &request : running)
        sessions.push_back(request.deviceSession);
    EXPECT_EQ(sessions,
              (std::vector<void const *>{&notAdopted, nullptr, nullptr, adopted[0].get()}));
    EXPECT_EQ(running[3].metadata.unitId, 4u);

    auto validations = validationsOfAdopted(state.validations, adopted);
    ASSERT_EQ(validations.size(), 2u);
    EXPECT_FALSE(validations[0].first < keyOf(5) || keyOf(5) < validations[0].first);
    ASSERT_EQ(validations[0].second.size(), 1u);
    validations[0].second[0](true);
    EXPECT_EQ(adopted[0]->answers, 1);
    EXPECT_TRUE(validations[1].second.empty());
}

} // namespace
} // namespace kelvarin::triggerTesting
