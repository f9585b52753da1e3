#include "app/reload/Reloader.hpp"

#include "support/ClogCapture.hpp"
#include "support/DescriptorExhaustion.hpp"
#include "support/Helpers.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <regex>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::chrono_literals;

// A controller of fakes: the test says when it is ready and what the exec does, and reads what
// the reloader asked of it.
class ReloaderTest : public ::testing::Test
{
protected:
    Reloader::Steps steps()
    {
        return {[this]
                {
                    if (!configurationError.empty())
                        throw std::runtime_error(configurationError);
                    return std::string("[api-side]\n");
                },
                [this] { return programError; },
                [this](auto done)
                {
                    ++newProgramChecks;
                    boost::asio::post(io, [this, done] { done(newProgramRefusal); });
                },
                [this] { calls.push_back("hold"); },
                [this] { return ++polls >= readyAfterPolls; },
                [] { return std::uint64_t{20} << 20; }, // more than the state
                [this](std::vector<int> &kept)
                {
                    calls.push_back("hand over");
                    kept = {5, 6};
                    return handedOver();
                },
                [this](ReloadState &handedBack)
                { calls.push_back("resume " + std::to_string(handedBack.devices.size())); },
                [this](int stateFile, std::vector<int> const &kept)
                {
                    calls.push_back("replace");
                    char block[4096];
                    for (ssize_t n; (n = ::read(stateFile, block, sizeof block)) > 0;)
                        handedState.append(block, static_cast<std::size_t>(n));
                    handedDescriptors = kept;
                    return std::error_code(EACCES, std::system_category());
                },
                [this](bool reloading) { calls.push_back(reloading ? "RELOADING" : "READY"); }};
    }

    bool run(std::function<bool()> const &done) { return testSupport::runUntil(io, done, 5s); }

    static ReloadState handedOver()
    {
        ReloadState state;
        state.devices.resize(2);
        state.devices[0].descriptor = 5;
        state.devices[1].descriptor = 6;
        return state;
    }

    boost::asio::io_context io;
    testSupport::ClogCapture log;
    std::string configurationError;
    std::error_code programError;
    // The new program's answer, on the loop.
    std::string newProgramRefusal;
    int newProgramChecks = 0;
    int readyAfterPolls = 1;
    int polls = 0;
    std::vector<std::string> calls;
    std::string handedState;
    std::vector<int> handedDescriptors;
};

TEST_F(ReloaderTest, ABadConfigurationOrProgramIsRefusedBeforeAnythingIsHeld)
{
    Reloader reloader(io, steps());
    configurationError = "the option 'api-side.service' cannot be specified more than once";
    reloader.reload();
    programError = std::error_code(ENOENT, std::system_category());
    configurationError.clear();
    reloader.reload();
    programError.clear();
    {
        testSupport::DescriptorExhaustion exhaustion;
        reloader.reload();
    }
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 6u);
    // No room for the new program's own descriptors: every one below the limit is taken.
    EXPECT_TRUE(std::regex_match(lines.back(),
                                 std::regex("Reload refused: the descriptor limit is ([0-9]+), and "
                                            "the new program needs [0-9]+: the \\1 open now and "
                                            "64 of its own")))
        << lines.back();
    lines.pop_back();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Reload requested",
                         "Reload refused: the option 'api-side.service' cannot be specified more "
                         "than once",
                         "Reload requested", "Reload failed: No such file or directory",
                         "Reload requested"}));
    EXPECT_EQ(newProgramChecks, 0);
    EXPECT_TRUE(calls.empty());
}

// A SIGHUP while the new program is asked is one during a reload; once it has refused, the
// controller is as it was, and the next SIGHUP asks again.
TEST_F(ReloaderTest, ANewProgramThatCannotTakeOverIsRefusedBeforeAnythingIsHeld)
{
    Reloader reloader(io, steps());
    newProgramRefusal = "gave no answer within 5 seconds (--version)";
    reloader.reload();
    reloader.reload();
    ASSERT_TRUE(run([&] { return log.lines().size() == 3; }));
    reloader.reload();
    ASSERT_TRUE(run([&] { return log.lines().size() == 5; }));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "Reload requested", "Reload already under way: SIGHUP ignored",
                  "Reload refused: the new program gave no answer within 5 seconds (--version)",
                  "Reload requested",
                  "Reload refused: the new program gave no answer within 5 seconds (--version)"}));
    EXPECT_EQ(newProgramChecks, 2);
    EXPECT_TRUE(calls.empty());
}

TEST_F(ReloaderTest, HandsOverOnceEveryConnectionWaitsAndGoesOnWhenTheExecFails)
{
    Reloader reloader(io, steps(), {1ms, 5s});
    readyAfterPolls = 4;
    reloader.reload();
    reloader.reload();
    ASSERT_TRUE(run([&] { return calls.size() == 6; }));
    // What was handed over comes back.
    EXPECT_EQ(calls, (std::vector<std::string>{"RELOADING", "hold", "hand over", "replace",
                                               "resume 2", "READY"}));
    EXPECT_EQ(polls, 4);
    // Exactly the state, with the configuration read: the file's pages given ahead beyond it
    // are gone.
    auto expected = handedOver();
    expected.configuration = "[api-side]\n";
    EXPECT_EQ(handedState, encodeReloadState(expected));
    EXPECT_EQ(handedDescriptors, (std::vector<int>{5, 6}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Reload requested",
                                                     "Reload already under way: SIGHUP ignored",
                                                     "Reload: handing over 2 device connections",
                                                     "Reload failed: Permission denied"}));
}

TEST_F(ReloaderTest, AtTheBoundWhatThereIsIsHandedOver)
{
    Reloader reloader(io, steps(), {1ms, 30ms});
    readyAfterPolls = 1000000;
    reloader.reload();
    ASSERT_TRUE(run([&] { return calls.size() == 6; }));
    EXPECT_LT(polls, 1000000);
    EXPECT_EQ(calls[2], "hand over");
}

TEST_F(ReloaderTest, ASighupBlockedBeforeTheStartIsServedOnceItStarts)
{
    sigset_t hangUp, before;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangUp, &before);
    ::raise(SIGHUP);
    configurationError = "can not open config file: /nonexistent";
    {
        Reloader reloader(io, steps());
        reloader.start();
        EXPECT_TRUE(run(
            [&]
            { return log.count("Reload refused: can not open config file: /nonexistent") == 1; }));
    }
    // The cases after this one in the process get the mask they had.
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

} // namespace
} // namespace kelvarin::triggerTesting
