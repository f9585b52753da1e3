#include "app/Options.hpp"

#include "app/ListenAddress.hpp"
#include "support/Helpers.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

using kelvarin::triggerTesting::parseListenAddress;
using kelvarin::triggerTesting::testSupport::failureOf;

// A configuration file holding the text while it lives. CTest runs the cases as parallel
// processes: the pid keeps their files apart.
class ConfigFile
{
public:
    explicit ConfigFile(std::string const &text)
        : path(::testing::TempDir() + "tt_options_" + std::to_string(::getpid()))
    {
        std::ofstream(path) << text;
    }
    ~ConfigFile() { std::remove(path.c_str()); }
    ConfigFile(ConfigFile const &) = delete;
    ConfigFile &operator=(ConfigFile const &) = delete;

    std::string const path;
};

// What the command line asks for, and what it printed, with the file holding the text.
struct Parsed
{
    Action action;
    std::string help;
    std::string version;
};

Parsed parse(std::vector<char const *> args, std::string const &text, Options &options)
{
    ConfigFile const file(text);
    std::vector<char const *> argv{"tt_controller", "-c", file.path.c_str()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::ostringstream help;
    std::ostringstream version;
    auto const action =
        parseOptions(static_cast<int>(argv.size()), argv.data(), options, help, version);
    return {action, help.str(), version.str()};
}

// The options read from a configuration file holding the text.
Options parseFile(std::string const &text)
{
    Options options;
    Parsed parsed{};
    auto const failure = failureOf([&] { parsed = parse({}, text, options); });
    if (failure != "(accepted)")
        throw std::runtime_error(failure);
    EXPECT_EQ(parsed.action, Action::run);
    EXPECT_EQ(parsed.help + parsed.version, "");
    return options;
}

TEST(OptionsTest, EmptyFileGivesTheDefaults)
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

TEST(OptionsTest, SectionsAndDottedNamesSetTheirFieldsAsGiven)
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

TEST(OptionsTest, SizesAreWholeMebibytesThatFit)
{
    for (std::string const key : {"api-side.queue-limit-mib", "device-side.receive-budget-mib"})
        for (std::string const bad : {"-1", "1.5", "17592186044416"})
            EXPECT_EQ(failureOf([&] { parseFile(key + "=" + bad + "\n"); }),
                      "the argument ('" + bad + "') for option '" + key + "' is invalid");
}

TEST(OptionsTest, HostNamesLongerThanAResolverAnswersAreRefused)
{
    for (std::string const key : {"api-side.all-hostname", "api-side.best-hostname"})
    {
        EXPECT_EQ(failureOf([&] { parseFile(key + "=" + std::string(254, 'a') + "\n"); }),
                  "the host name for option '" + key + "' is longer than 253 bytes");
        EXPECT_NO_THROW(parseFile(key + "=" + std::string(253, 'a') + "\n"));
    }
}

// Below a second the resolver would resolve again at once, for ever; values outside the 32-bit
// range fail in the option library before the check.
TEST(OptionsTest, RefreshIntervalBelowOneSecondIsRefused)
{
    for (std::string const bad : {"0", "-5", "-2147483648"})
        EXPECT_EQ(failureOf([&] { parseFile("[api-side]\nrefresh-interval=" + bad + "\n"); }),
                  "the argument ('" + bad + "') for option 'api-side.refresh-interval' is invalid");
    EXPECT_EQ(parseFile("api-side.refresh-interval=1\n").api.refreshInterval,
              std::chrono::seconds(1));
}

TEST(OptionsTest, VersionIsPrintedAloneWithoutReadingTheFile)
{
    Options options;
    for (auto const *text : {"", "no-such-key=1\n"})
    {
        auto const parsed = parse({"--version"}, text, options);
        EXPECT_EQ(parsed.action, Action::done);
        EXPECT_TRUE(std::regex_match(parsed.version,
                                     std::regex("tt_controller [0-9]+\\.[0-9]+\\.[0-9]+\n")))
            << parsed.version;
        EXPECT_EQ(parsed.help, "");
    }
}

// The configuration is read and checked whole, the metrics address included, before the check
// is reported; a bad value fails it as it fails a start.
TEST(OptionsTest, CheckConfigReadsTheWholeFile)
{
    Options options;
    auto const parsed = parse({"--check-config"},
                              "[api-side]\nservice=9000\n[metrics]\nlisten=[::1]:9120\n", options);
    EXPECT_EQ(parsed.action, Action::checkConfiguration);
    EXPECT_EQ(parsed.help + parsed.version, "");
    EXPECT_EQ(options.api.service, "9000");
    EXPECT_EQ(options.metrics.listen->port(), 9120);
    EXPECT_EQ(failureOf([&] { parse({"--check-config"}, "[metrics]\nlisten=9120\n", options); })
                  .rfind("metrics.listen: \"9120\" is not an address and port", 0),
              0u);
    EXPECT_EQ(failureOf([&] { parse({"--check-config"}, "[api-side]\nfoo=1\n", options); }),
              "unrecognised option 'api-side.foo'");
}

// Nothing waits: not the open for the writer of a FIFO, not the read of a device that never ends.
TEST(OptionsTest, OnlyARegularFileWithinTheLimitIsRead)
{
    auto const directory = ::testing::TempDir() + "tt_options_dir_" + std::to_string(::getpid());
    std::filesystem::create_directory(directory);
    auto const fifo = directory + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (auto const &path : {fifo, directory, std::string("/dev/zero")})
        EXPECT_EQ(failureOf([&] { readConfigurationText(path); }),
                  "the config file " + path + " is not a regular file");
    EXPECT_EQ(failureOf([&] { readConfigurationText(directory + "/missing"); }),
              "can not open config file: " + directory + "/missing");
    std::filesystem::remove_all(directory);

    std::string const atTheLimit(configurationFileLimit, '#');
    EXPECT_EQ(readConfigurationText(ConfigFile(atTheLimit).path), atTheLimit);
    ConfigFile const aboveIt(atTheLimit + "#");
    EXPECT_EQ(failureOf([&] { readConfigurationText(aboveIt.path); }),
              "the config file " + aboveIt.path + " is larger than 1048576 bytes");
}

TEST(ListenAddressTest, NumericAddressAndPortOnly)
{
    using boost::asio::ip::make_address;
    using boost::asio::ip::tcp;
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
