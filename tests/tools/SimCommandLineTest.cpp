#include "sim/SimCommandLine.hpp"

#include "sim/Summary.hpp"
#include "sim/ValidationPolicy.hpp"

#include "support/FailureText.hpp"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::sim
{
namespace
{

SimCommandLine parse(std::vector<char const *> args)
{
    args.insert(args.begin(), "tt_simulator");
    return SimCommandLine::parse(static_cast<int>(args.size()), args.data());
}

std::string failureOf(std::vector<char const *> args)
{
    return testSupport::failureOf([&] { parse(std::move(args)); });
}

TEST(SimCommandLineTest, ApiRoleWithTwoServers)
{
    auto const line = parse({"api", "--listen", "127.0.0.2:10002", "--listen", "127.0.0.3:10002",
                             "--units", "1-3", "--rate", "2.5", "--task", "trace", "--action-id",
                             "9", "--only-online", "--duration", "1.5", "--json"});
    EXPECT_EQ(line.role, SimCommandLine::Role::api);
    EXPECT_TRUE(line.record.empty());
    ASSERT_EQ(line.listen.size(), 2u);
    EXPECT_EQ(line.listen[1].address().to_string(), "127.0.0.3");
    EXPECT_EQ(line.api.units, (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_DOUBLE_EQ(line.api.rate, 2.5);
    EXPECT_EQ(line.api.task, "trace");
    EXPECT_EQ(line.api.actionId, 9u);
    EXPECT_TRUE(line.api.onlyOnline);
    EXPECT_EQ(line.duration.count(), 1500);
    EXPECT_TRUE(line.json);
    EXPECT_FALSE(line.quiet);
}

TEST(SimCommandLineTest, ValidatorRoleWithItsLists)
{
    auto const line = parse({"validator", "--listen", "127.0.0.4:0", "--accept-units", "101-102",
                             "--accept-macs", "02:00:00:00:00:65,020000000066"});
    EXPECT_EQ(line.role, SimCommandLine::Role::validator);
    EXPECT_TRUE(line.policy.admits(101, EtherAddr(std::string("020000000065"))));
    EXPECT_FALSE(line.policy.admits(101, EtherAddr(std::string("020000000067"))));
    EXPECT_FALSE(line.policy.admits(103, EtherAddr(std::string("020000000065"))));
}

TEST(SimCommandLineTest, DevicesRoleNumbersDevicesFromTheFirstUnit)
{
    auto const line = parse({"devices", "--controller", "127.0.0.1:4000", "--count", "3",
                             "--first-unit", "10", "--macs", "001A2B3C4D5E", "--results", "3",
                             "--misbehave", "11=drop:2", "--misbehave", "12=silent", "--quiet",
                             "--record", "/tmp/fleet.jsonl"});
    EXPECT_EQ(line.role, SimCommandLine::Role::devices);
    EXPECT_EQ(line.fleet.controller.port(), 4000);
    EXPECT_EQ(line.fleet.units, (std::vector<std::uint64_t>{10, 11, 12}));
    ASSERT_EQ(line.fleet.macs.size(), 1u);
    EXPECT_EQ(line.fleet.resultsPerRun, 3u);
    EXPECT_EQ(line.fleet.misbehaviours.at(11).mode, Misbehaviour::Mode::drop);
    EXPECT_EQ(line.fleet.misbehaviours.at(11).after, 2u);
    EXPECT_EQ(line.fleet.misbehaviours.at(12).mode, Misbehaviour::Mode::silent);
    EXPECT_TRUE(line.quiet);
    EXPECT_EQ(line.record, "/tmp/fleet.jsonl");
    EXPECT_EQ(parse({"devices", "--controller", "127.0.0.1:1", "--units", "5,9"}).fleet.units,
              (std::vector<std::uint64_t>{5, 9}));
}

TEST(SimCommandLineTest, MistakesAreExplained)
{
    EXPECT_EQ(failureOf({}), "the first argument must be api, validator or devices");
    EXPECT_EQ(failureOf({"devices", "--count", "2"}), "missing --controller");
    EXPECT_EQ(failureOf({"devices", "--controller", "127.0.0.1:1"}), "missing --count or --units");
    EXPECT_EQ(
        failureOf({"devices", "--controller", "127.0.0.1:1", "--units", "1-3", "--count", "2"}),
        "--count 2 but --units names 3 devices");
    EXPECT_EQ(failureOf({"devices", "--controller", "127.0.0.1:1", "--count", "1", "--macs",
                         "001A2B3C4D5E,001A2B3C4D5F"}),
              "more MAC addresses than devices");
    EXPECT_EQ(failureOf({"api", "--units", "1"}), "missing --listen");
    EXPECT_EQ(failureOf({"api", "--listen", "127.0.0.1:0"}), "missing --units (or --rate 0)");
    EXPECT_EQ(failureOf({"api", "--listen", "127.0.0.1:0", "--rate", "0"}), "(accepted)");
    EXPECT_EQ(failureOf({"validator"}), "missing --listen");
    // Options of one role are unknown to the others.
    EXPECT_NE(failureOf({"validator", "--listen", "127.0.0.1:0", "--rate", "1"}), "(accepted)");
    EXPECT_TRUE(parse({"--help"}).help);
    EXPECT_TRUE(parse({"devices", "--help"}).help);
}

TEST(SimCommandLineTest, ValidationPolicyWithoutListsAdmitsEveryone)
{
    EXPECT_TRUE(ValidationPolicy().admits(18446744073709551615ull, EtherAddr()));
    ValidationPolicy const macsOnly({}, {EtherAddr(std::string("020000000065"))});
    EXPECT_TRUE(macsOnly.admits(7, EtherAddr(std::string("020000000065"))));
    EXPECT_FALSE(macsOnly.admits(7, EtherAddr(std::string("020000000066"))));
}

TEST(SimCommandLineTest, SummaryAsTextAndAsOneJsonLine)
{
    Summary summary("api");
    summary.add("executes_sent", 12);
    summary.add("own_results", 18446744073709551615ull);
    EXPECT_EQ(summary.text(), "api summary: executes_sent=12 own_results=18446744073709551615");
    EXPECT_EQ(summary.json(),
              "{\"role\":\"api\",\"executes_sent\":12,\"own_results\":18446744073709551615}");
    EXPECT_EQ(summary.get("executes_sent"), 12u);
    EXPECT_THROW(summary.get("nothing"), std::out_of_range);
}

} // namespace
} // namespace kelvarin::triggerTesting::sim
