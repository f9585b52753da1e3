#include "app/ListenAddress.hpp"
#include "app/Options.hpp"
#include "support/Helpers.hpp"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace
{

using kelvarin::triggerTesting::testSupport::failureOf;

// The options read from a configuration file holding the text. CTest runs the cases as
// parallel processes: the pid keeps their files apart.
Options parseFile(std::string const &text)
{
    std::string const path = ::testing::TempDir() + "tt_options_" + std::to_string(::getpid());
    std::ofstream(path) << text;
    char const *argv[] = {"tt_controller", "-c", path.c_str()};
    Options options;
    std::ostringstream help;
    auto const failure = failureOf([&] { EXPECT_TRUE(parseOptions(3, argv, options, help)); });
    std::remove(path.c_str());
    if (failure != "(accepted)")
        throw std::runtime_error(failure);
    EXPECT_EQ(help.str(), "");
    return options;
}

TEST(Options, EmptyFileGivesTheDefaults)
{
    auto const options = parseFile("");
    EXPECT_EQ(options.api.service, "10002");
    EXPECT_EQ(options.api.refreshInterval, std::chrono::seconds(1));
    EXPECT_EQ(options.api.queueLimit, std::size_t{256} << 20);
    EXPECT_EQ(options.device.receiveBudget, std::size_t{256} << 20);
    EXPECT_TRUE(options.device.listenServices.empty());
    EXPECT_FALSE(options.device.useSystemdSockets);
    EXPECT_FALSE(options.metrics.listen);
}

TEST(Options, SectionsAndDottedNamesSetTheirFieldsAsGiven)
{
    auto const options = parseFile("api-side.service=http\n# a comment\n\n[api-side]\n"
                                   "all-hostname=all.example\nbest-hostname=\n"
                                   "refresh-interval=2147483647\nqueue-limit-mib=3\n[device-side]\n"
                                   "listen-service=9001\nlisten-service=http\n"
                                   "receive-budget-mib=5\n");
    EXPECT_EQ(options.api.allHostname, "all.example");
    EXPECT_EQ(options.api.bestHostname, "");
    EXPECT_EQ(options.api.service, "http");
    EXPECT_EQ(options.api.refreshInterval, std::chrono::seconds(2147483647));
    EXPECT_EQ(options.api.queueLimit, std::size_t{3} << 20);
    EXPECT_EQ(options.device.listenServices, (std::vector<std::string>{"9001", "http"}));
    EXPECT_EQ(options.device.receiveBudget, std::size_t{5} << 20);
    EXPECT_EQ(parseFile("api-side.queue-limit-mib=0\n").api.queueLimit, 0u); // no bound
    EXPECT_EQ(parseFile("device-side.receive-budget-mib=0\n").device.receiveBudget, 0u);
}

TEST(Options, SizesAreWholeMebibytesThatFit)
{
    for (std::string const key : {"api-side.queue-limit-mib", "device-side.receive-budget-mib"})
        for (std::string const bad : {"-1", "1.5", "17592186044416"})
            EXPECT_EQ(failureOf([&] { parseFile(key + "=" + bad + "\n"); }),
                      "the argument ('" + bad + "') for option '" + key + "' is invalid");
}

// Below a second the resolver would resolve again at once, for ever; values outside the 32-bit
// range fail in the option library before the check.
TEST(Options, RefreshIntervalBelowOneSecondIsRefused)
{
    for (std::string const bad : {"0", "-5", "-2147483648"})
        EXPECT_EQ(failureOf([&] { parseFile("[api-side]\nrefresh-interval=" + bad + "\n"); }),
                  "the argument ('" + bad + "') for option 'api-side.refresh-interval' is invalid");
    EXPECT_EQ(parseFile("api-side.refresh-interval=1\n").api.refreshInterval,
              std::chrono::seconds(1));
}

TEST(ListenAddress, NumericAddressAndPortOnly)
{
    using boost::asio::ip::make_address;
    using boost::asio::ip::tcp;
    using kelvarin::triggerTesting::parseListenAddress;
    EXPECT_EQ(parseListenAddress("0.0.0.0:65535"), tcp::endpoint(make_address("0.0.0.0"), 65535));
    EXPECT_EQ(parseListenAddress("[::]:1"), tcp::endpoint(make_address("::"), 1));
    for (char const *text :
         {"9120", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:99999999999999999999",
          "127.0.0.1:+80", "::1:9120", "[::1]9120", "[127.0.0.1]:9120", "[::1:9120", ":9120"})
        EXPECT_NE(failureOf([&] { parseListenAddress(text); }).find("is not an address and port"),
                  std::string::npos)
            << text;
}

} // namespace
