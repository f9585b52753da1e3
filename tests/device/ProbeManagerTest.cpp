#include "DeviceSideFixture.hpp"
#include "api/ITestRequest.hpp"

#include <boost/uuid/string_generator.hpp>

using namespace std::string_literals;

namespace kelvarin::triggerTesting::test
{
namespace
{

class FakeTestRequest : public ITestRequest
{
public:
    FakeTestRequest(char const *id, unsigned long unitId, std::string data)
        : metadata{boost::uuids::string_generator()(id), unitId, "trigger", 1}, data(std::move(data))
    {
    }
    boost::uuids::uuid const &getId() const override { return metadata.testId; }
    unsigned long const &getProbeId() const override { return metadata.unitId; }
    std::string &getData() override { return data; }
    TestMetadata const &getMetadata() const override { return metadata; }

private:
    TestMetadata metadata;
    std::string data;
};

char const *const requestIdText = "0123abcd-4567-89ef-fedc-ba9876543210";
std::string const requestIdBytes =
    "\x01\x23\xab\xcd\x45\x67\x89\xef\xfe\xdc\xba\x98\x76\x54\x32\x10"s;

class ProbeManagerTest : public DeviceSideTest
{
protected:
    void SetUp() override { startDeviceSide(); }

    void expectUnreachable(Reply const &reply, char const *id)
    {
        EXPECT_EQ(reply.id, boost::uuids::string_generator()(id));
        auto const *error = std::get_if<Error>(&reply.payload);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code, Error::UNREACHABLE);
        EXPECT_EQ(error->message, "");
    }
};

TEST(ProbeManagerStartTest, RefusesToStartWithoutValidateOrResultFunction)
{
    boost::asio::io_context io;
    auto const noop = [](Reply) {};
    auto const accept = [](unsigned long const &, EtherAddr const &, std::function<void(bool)>) {};

    ProbeManager withoutValidate(io, {}, {}, noop);
    EXPECT_THROW(
        try { withoutValidate.start(); } catch (std::runtime_error const &e) {
            EXPECT_STREQ(e.what(), "Started without a validate function");
            throw;
        },
        std::runtime_error);

    ProbeManager withoutResults(io, {}, accept, {});
    EXPECT_THROW(
        try { withoutResults.start(); } catch (std::runtime_error const &e) {
            EXPECT_STREQ(e.what(), "Started without a test results callback function");
            throw;
        },
        std::runtime_error);
}

TEST_F(ProbeManagerTest, RunRequestWritesRunMessageAndLogsIt)
{
    auto device = validatedDevice(7);
    log.clear();
    FakeTestRequest request(requestIdText, 7, "{\"x\":1}");
    manager->requestTestRun(request);

    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"unitId:7 telling to the device to run requestId:"
                                       "0123abcd-4567-89ef-fedc-ba9876543210"});
    ASSERT_TRUE(runUntil([&] { return device->received().size() == 2; }));
    EXPECT_EQ(device->received()[1],
              "\x46\x9B\x34\xA5\x02"s + requestIdBytes + "\x00\x00\x00\x07{\"x\":1}"s);
    EXPECT_TRUE(replies.empty());
}

TEST_F(ProbeManagerTest, RunRequestsAreWrittenInCallOrder)
{
    auto device = validatedDevice(7);
    std::vector<std::string> const data{"{\"n\":1}", "", std::string(5000, 'a'), "{\"n\":4}"};
    for (auto const &text : data)
    {
        FakeTestRequest request(requestIdText, 7, text);
        manager->requestTestRun(request);
    }

    ASSERT_TRUE(runUntil([&] { return device->received().size() == 1 + data.size(); }));
    for (std::size_t i = 0; i < data.size(); ++i)
        EXPECT_EQ(device->received()[1 + i].substr(25), data[i]) << i;
    EXPECT_EQ(device->received()[2].size(), 25u);
}

TEST_F(ProbeManagerTest, DeviceThatLeavesThirtyTwoMiBUnwrittenIsDisconnected)
{
    auto device = validatedDevice(7);
    log.clear();
    // Queued faster than anything is written: 31 messages of 1 MiB and 25 bytes fit.
    std::string const data(1 << 20, 'd');
    for (int n = 0; n < 32; ++n)
    {
        FakeTestRequest request(requestIdText, 7, data);
        manager->requestTestRun(request);
    }

    ASSERT_EQ(replies.size(), 1u);
    auto const *error = std::get_if<Error>(&replies[0].payload);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, Error::UNKNOWN);
    EXPECT_EQ(error->message, "");
    auto const lines = log.lines();
    ASSERT_EQ(lines.size(), 33u);
    EXPECT_EQ(lines.back(), "unitId:7 disconnected: write queue full");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].reason, clean);
    EXPECT_FALSE(manager->isUnitOnline(7));
    EXPECT_TRUE(runUntil([&] { return device->isDisconnected(); }));
}

TEST_F(ProbeManagerTest, RequestForUnitWithoutEntryIsUnreachable)
{
    auto waiting = registeringDevice(8);
    auto refused = registeringDevice(9);
    validations.back().answer(false);
    ASSERT_TRUE(runUntil([&] { return refused->received().size() == 1; }));
    log.clear();

    for (unsigned long unitId : {42ul, 8ul, 9ul})
    {
        FakeTestRequest request(requestIdText, unitId, "{}");
        manager->requestTestRun(request);
    }

    ASSERT_EQ(replies.size(), 3u);
    for (auto const &reply : replies)
        expectUnreachable(reply, requestIdText);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(manager->isUnitOnline(8));
    EXPECT_FALSE(manager->isUnitOnline(9));
}

TEST_F(ProbeManagerTest, SecondConnectionOfUnitReplacesFirst)
{
    auto first = validatedDevice(7);
    auto second = validatedDevice(7);

    FakeTestRequest request(requestIdText, 7, "{}");
    manager->requestTestRun(request);
    ASSERT_TRUE(runUntil([&] { return second->received().size() == 2; }));
    EXPECT_EQ(first->received().size(), 1u);

    // The replaced connection still forwards its results.
    first->send(FakeDevice::resultMessage(request.getId(), 1, "{\"from\":1}"));
    ASSERT_TRUE(runUntil([&] { return replies.size() == 1; }));
    EXPECT_EQ(std::get<Result>(replies[0].payload).text, "{\"from\":1}");

    // Its end neither removes the newer entry nor reports the unit as gone.
    disconnect(*first, 7);
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(manager->isUnitOnline(7));
    manager->requestTestRun(request);
    ASSERT_TRUE(runUntil([&] { return second->received().size() == 3; }));

    disconnect(*second, 7);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].unitId, 7u);
    EXPECT_FALSE(manager->isUnitOnline(7));
}

} // namespace
} // namespace kelvarin::triggerTesting::test
