#include "app/Options.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace
{

// A configuration file that lives as long as the test.
class ConfigFile
{
public:
    explicit ConfigFile(std::string const& text) : path(makePath())
    {
        std::ofstream(path) << text;
    }
    ~ConfigFile() { std::remove(path.c_str()); }

    std::string const path;

private:
    // CTest runs every test in a process of its own, several at a time: the process id keeps
    // their files apart.
    static std::string makePath()
    {
        // CTest runs the cases as parallel processes: the pid keeps their files apart.
        static int counter = 0;
        return ::testing::TempDir() + "tt_options_" + std::to_string(::getpid()) + "_" +
               std::to_string(++counter) + ".cfg";
    }
};

Options parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "tt_controller");
    std::vector<char const*> argv;
    for (auto const& arg : args)
        argv.push_back(arg.c_str());
    Options options;
    std::ostringstream help;
    EXPECT_TRUE(parseOptions(static_cast<int>(argv.size()), argv.data(), options, help));
    EXPECT_EQ(help.str(), "");
    return options;
}

Options parseFile(std::string const& text)
{
    ConfigFile file(text);
    return parse({"-c", file.path});
}

TEST(Options, EmptyFileGivesTheDefaults)
{
    auto const options = parseFile("");
    EXPECT_EQ(options.api.allHostname, defaultAllHostname);
    EXPECT_EQ(options.api.bestHostname, defaultBestHostname);
    EXPECT_EQ(options.api.service, "10002");
    EXPECT_EQ(options.api.refreshInterval, std::chrono::seconds(1));
    EXPECT_EQ(options.api.queueLimit, std::size_t{256} << 20);
    EXPECT_TRUE(options.device.listenServices.empty());
    EXPECT_FALSE(options.device.useSystemdSockets);
    EXPECT_FALSE(options.metrics.listen);
}

TEST(Options, SectionsAndDottedNamesSetTheirFields)
{
    auto const options = parseFile("api-side.service=http\n"
                                   "# a comment\n"
                                   "\n"
                                   "[api-side]\n"
                                   "all-hostname=all.example\n"
                                   "best-hostname=best.example\n"
                                   "refresh-interval=30\n");
    EXPECT_EQ(options.api.allHostname, "all.example");
    EXPECT_EQ(options.api.bestHostname, "best.example");
    EXPECT_EQ(options.api.service, "http");
    EXPECT_EQ(options.api.refreshInterval, std::chrono::seconds(30));
}

TEST(Options, ListenServicesKeepFileOrder)
{
    auto const options = parseFile("[device-side]\nlisten-service=9001\nlisten-service=http\n");
    EXPECT_EQ(options.device.listenServices, (std::vector<std::string>{"9001", "http"}));
    EXPECT_EQ(options.api.service, "10002");
}

TEST(Options, RefreshIntervalIsTakenAsGiven)
{
    EXPECT_EQ(parseFile("api-side.refresh-interval=0\n").api.refreshInterval,
              std::chrono::seconds(0));
    EXPECT_EQ(parseFile("api-side.refresh-interval=-5\n").api.refreshInterval,
              std::chrono::seconds(-5));
}

TEST(Options, QueueLimitIsWholeMebibytesAndZeroMeansNoBound)
{
    EXPECT_EQ(parseFile("[api-side]\nqueue-limit-mib=3\n").api.queueLimit, std::size_t{3} << 20);
    EXPECT_EQ(parseFile("api-side.queue-limit-mib=0\n").api.queueLimit, 0u);
    for (char const *bad : {"-1", "1.5", "x", "17592186044416"})
    {
        ConfigFile file("api-side.queue-limit-mib=" + std::string(bad) + "\n");
        char const *argv[] = {"tt_controller", "-c", file.path.c_str()};
        Options options;
        std::ostringstream help;
        try
        {
            parseOptions(3, argv, options, help);
            ADD_FAILURE() << bad << " accepted";
        }
        catch (std::exception const &e)
        {
            EXPECT_EQ(std::string(e.what()), "the argument ('" + std::string(bad) +
                                                 "') for option 'api-side.queue-limit-mib' is "
                                                 "invalid")
                << bad;
        }
    }
}

TEST(Options, EmptyValuesAreAccepted)
{
    auto const options = parseFile("api-side.all-hostname=\napi-side.service=\n");
    EXPECT_EQ(options.api.allHostname, "");
    EXPECT_EQ(options.api.service, "");
}

TEST(Options, HelpIsWrittenWithoutReadingTheFile)
{
    char const* argv[] = {"tt_controller", "--help", "-c", "/nonexistent/tt.cfg"};
    Options options;
    std::ostringstream help;
    EXPECT_FALSE(parseOptions(4, argv, options, help));
    EXPECT_NE(help.str().find("Generic options:\n"), std::string::npos);
    EXPECT_EQ(help.str().find("Configuration"), std::string::npos);
}

TEST(Options, UnreadableFileIsNamedInTheError)
{
    char const* argv[] = {"tt_controller", "-c/nonexistent/tt.cfg"};
    Options options;
    std::ostringstream help;
    try
    {
        parseOptions(2, argv, options, help);
        FAIL() << "no exception";
    }
    catch (std::runtime_error const& e)
    {
        EXPECT_STREQ(e.what(), "can not open config file: /nonexistent/tt.cfg");
    }
}

} // namespace
