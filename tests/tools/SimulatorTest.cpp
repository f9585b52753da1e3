// The simulator's pieces that the service's own tests do not reach: its messages as the
// controller's codecs read them and its command line.
#include "api/APISessionMessages.hpp"
#include "api/ResultMessage.hpp"
#include "device/DeviceProtocol.hpp"
#include "sim/SimArguments.hpp"
#include "sim/SimCommandLine.hpp"
#include "sim/SimMessages.hpp"
#include "support/Helpers.hpp"

#include <boost/uuid/string_generator.hpp>

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::sim
{
namespace
{

using Kind = ControllerMessage::Kind;

auto const requestId = boost::uuids::string_generator()("0123abcd-4567-89ef-fedc-ba9876543210");
EtherAddr const mac(EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});

// The simulated peers speak through the controller's own codecs in the service's tests; what
// those do not reach is how the peers read what the controller sends. The validator's reading
// of validations and reports is what the demo's admissions and the soak's report checks rest on.
TEST(SimMessagesTest, PeersReadTheControllersMessages)
{
    auto const run = decodeRunMessage(encodeRunMessage(requestId, "{\"task\":\"ping\"}"));
    ASSERT_TRUE(run);
    EXPECT_EQ(run->requestId, requestId);
    EXPECT_EQ(run->data, "{\"task\":\"ping\"}");
    EXPECT_FALSE(decodeRunMessage(encodeRunMessage(requestId, "abc").substr(0, 27)));
    EXPECT_FALSE(decodeRunMessage(encodeValidationAnswer(true)));
    EXPECT_EQ(decodeValidationAnswer(encodeValidationAnswer(false)), false);
    EXPECT_FALSE(decodeValidationAnswer(encodeRunMessage(requestId, "")));

    EXPECT_EQ(parseControllerMessage(buildRegistrationMessage("ctl-1")).name, "ctl-1");
    EXPECT_TRUE(parseControllerMessage(buildIsOnlineAnswer(42, true)).online);
    // A result's text without what the controller appended: what the device sent.
    TestMetadata const metadata{requestId, 42, "ping", 3};
    auto const result = parseControllerMessage(buildResultMessage(
        Reply(requestId, Result("{\"a\":[1,{\"b\":null}],\"c\":\"\\u00e9\"}", false)), metadata));
    EXPECT_EQ(result.kind, Kind::result);
    EXPECT_EQ(result.testId, requestId);
    EXPECT_EQ(result.unitId, 42u);
    EXPECT_EQ(result.resultText, "{\"a\":[1,{\"b\":null}],\"c\":\"\u00e9\"}");
    auto const error = parseControllerMessage(
        buildResultMessage(Reply(requestId, Error(Error::UNREACHABLE, "")), metadata));
    EXPECT_EQ(error.errorCode, "UNREACHABLE");
}

SimCommandLine parse(std::vector<char const *> args)
{
    args.insert(args.begin(), "tt_simulator");
    return SimCommandLine::parse(static_cast<int>(args.size()), args.data());
}

// The demo and the soak use the common options of each role; these are the others.
TEST(SimCommandLineTest, EachRoleWithItsOptions)
{
    auto const api =
        parse({"api", "--listen", "[::1]:0", "--units", "101-103,7", "--rate", "2.5", "--task",
               "trace", "--action-id", "9", "--only-online", "--duration", "1.5"});
    EXPECT_EQ(api.listen[0],
              boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("::1"), 0));
    EXPECT_EQ(api.api.units, (std::vector<std::uint64_t>{101, 102, 103, 7}));
    EXPECT_EQ(std::make_tuple(api.api.rate, api.api.task, api.api.actionId, api.api.onlyOnline),
              std::make_tuple(2.5, std::string("trace"), std::uint64_t{9}, true));
    EXPECT_EQ(api.duration.count(), 1500);

    auto const validator =
        parse({"validator", "--listen", "127.0.0.4:0", "--accept-units", "101-102", "--accept-macs",
               "02:00:00:00:00:65,02-00-00-00-00-66"});
    EXPECT_TRUE(validator.policy.admits(102, EtherAddr(std::string("020000000066"))));
    EXPECT_FALSE(validator.policy.admits(101, EtherAddr(std::string("020000000067"))));
    EXPECT_FALSE(validator.policy.admits(103, EtherAddr(std::string("020000000065"))));

    auto const devices =
        parse({"devices", "--controller", "127.0.0.1:4000", "--count", "3", "--first-unit", "10",
               "--macs", "001A2B3C4D5E", "--misbehave", "11=oversized:2"});
    EXPECT_EQ(devices.fleet.units, (std::vector<std::uint64_t>{10, 11, 12}));
    EXPECT_EQ(devices.fleet.macs, std::vector<EtherAddr>{EtherAddr(std::string("001A2B3C4D5E"))});
    EXPECT_EQ(devices.fleet.misbehaviours.at(11).mode, Misbehaviour::Mode::oversized);
    EXPECT_EQ(devices.fleet.misbehaviours.at(11).after, 2u);
    // Devices without a MAC of their own carry the low 32 bits of their unit id.
    EXPECT_EQ(defaultMacFor(0x1122334455667788ull).toString(), "020055667788");
}

TEST(SimCommandLineTest, MistakesAreExplained)
{
    std::vector<std::pair<std::vector<char const *>, std::string>> const cases = {
        {{}, "the first argument must be api, validator or devices"},
        {{"devices", "--controller", "127.0.0.1:1", "--units", "1-3", "--count", "2"},
         "--count 2 but --units names 3 devices"},
        {{"devices", "--controller", "127.0.0.1", "--count", "1"},
         "bad endpoint, expected address:port: \"127.0.0.1\""},
        {{"devices", "--controller", "127.0.0.1:1", "--units", "1-3,2"}, "unit id given twice: 2"},
        {{"devices", "--controller", "127.0.0.1:1", "--count", "1", "--misbehave", "1=late"},
         "bad misbehaviour mode \"late\", expected drop, silent, malformed or oversized"},
        {{"api", "--listen", "127.0.0.1:0", "--rate", "0"}, "(accepted)"},
    };
    for (auto const &[args, error] : cases)
        EXPECT_EQ(testSupport::failureOf([&] { parse(args); }), error) << error;
    // Options of one role are unknown to the others.
    EXPECT_NE(testSupport::failureOf(
                  [&] {
                      parse({"validator", "--listen", "127.0.0.1:0", "--rate", "1"});
                  }),
              "(accepted)");
    EXPECT_TRUE(parse({"devices", "--help"}).help);
}

} // namespace
} // namespace kelvarin::triggerTesting::sim
