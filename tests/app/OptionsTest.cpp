#include "app/Options.hpp"

#include "support/Helpers.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
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

TEST(OptionsTest, EmptyFileGivesTheDefaults)
{
    auto const options = parseFile("");
    EXPECT_EQ(options.api.service, "10002");
    EXPECT_EQ(options.api.refreshInterval, std::chrono::seconds(1));
    EXPECT_EQ(options.api.queueLimit, std::size_t{256} << 20);
    EXPECT_TRUE(options.device.listenServices.empty());
    EXPECT_FALSE(options.device.useSystemdSockets);
    EXPECT_FALSE(options.metrics.listen);
}

TEST(OptionsTest, SectionsAndDottedNamesSetTheirFieldsAsGiven)
{
    auto const options = parseFile("api-side.service=http\n# a comment\n\n[api-side]\n"
                                   "all-hostname=all.example\nbest-hostname=\n"
                                   "refresh-interval=-5\nqueue-limit-mib=3\n[device-side]\n"
                                   "listen-service=9001\nlisten-service=http\n");
    EXPECT_EQ(options.api.allHostname, "all.example");
    EXPECT_EQ(options.api.bestHostname, "");
    EXPECT_EQ(options.api.service, "http");
    EXPECT_EQ(options.api.refreshInterval, std::chrono::seconds(-5));
    EXPECT_EQ(options.api.queueLimit, std::size_t{3} << 20);
    EXPECT_EQ(options.device.listenServices, (std::vector<std::string>{"9001", "http"}));
    EXPECT_EQ(parseFile("api-side.queue-limit-mib=0\n").api.queueLimit, 0u); // no bound
}

TEST(OptionsTest, QueueLimitIsWholeMebibytesThatFit)
{
    for (std::string const bad : {"-1", "1.5", "17592186044416"})
        EXPECT_EQ(failureOf([&] { parseFile("api-side.queue-limit-mib=" + bad + "\n"); }),
                  "the argument ('" + bad + "') for option 'api-side.queue-limit-mib' is invalid");
}

} // namespace
