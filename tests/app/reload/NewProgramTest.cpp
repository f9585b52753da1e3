#include "app/reload/NewProgramCheck.hpp"
#include "app/reload/ProgramReplacement.hpp"
#include "app/reload/ReloadState.hpp"
#include "app/reload/StateFile.hpp"
#include "support/Helpers.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::chrono_literals;

std::string const thisFormat = std::to_string(ReloadState::formatVersion);

// A program of the controller's making, as a script: it answers the three questions, with
// `formats` for the state formats and `check` as the body of --check-config. A descriptor it
// inherits makes its version answer wrong.
std::string controllerScript(std::string const &formats, std::string const &check)
{
    return "#!/bin/sh\ncase \"$1\" in\n"
           "--version) if [ -e /proc/$$/fd/57 ]; then echo inherited; else echo 'tt_controller "
           "1.2.3'; fi ;;\n"
           "--reload-state-formats) echo '" +
           formats + "' ;;\n--check-config) " + check + " ;;\n*) exit 2 ;;\nesac\n";
}

class NewProgramCheckTest : public ::testing::Test
{
protected:
    NewProgramCheckTest()
    {
        std::string pattern = ::testing::TempDir() + "tt_new_program_XXXXXX";
        directory = ::mkdtemp(pattern.data());
    }
    ~NewProgramCheckTest() override { std::filesystem::remove_all(directory); }

    std::string program(std::string const &text)
    {
        auto const path = directory + "/tt_controller";
        std::filesystem::remove(path);
        std::ofstream(path) << text;
        ::chmod(path.c_str(), 0755);
        return path;
    }

    // What the check says of the program; nothing it started is left, not even a zombie.
    std::string verdictOn(std::string const &text, std::chrono::steady_clock::duration bound = 5s)
    {
        boost::asio::io_context io;
        std::optional<std::string> refusal;
        std::make_shared<NewProgramCheck>(io, program(text),
                                          std::vector<std::string>{"-c", "/x.cfg"}, bound)
            ->start([&](std::string const &verdict) { refusal = verdict; });
        EXPECT_TRUE(testSupport::runUntil(
            io, [&] { return refusal.has_value(); }, 20s));
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        return refusal.value_or("(no verdict)");
    }

    std::string directory;
};

TEST_F(NewProgramCheckTest, OnlyAControllerThatReadsTheStateAndTheFileCanTakeOver)
{
    // Open in the test's process without close-on-exec, as the controller's sockets are.
    int const opened = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::dup2(opened, 57), 57);
    ::close(opened);
    struct Case
    {
        std::string program;
        std::string refusal;
    };
    std::vector<Case> const cases{
        {controllerScript(thisFormat, "exit 0"), ""},
        {controllerScript("7 " + thisFormat, "exit 0"), ""},
        {"#!/bin/sh\nexit 0\n",
         "does not answer as a controller (--version: exit status 0, printed nothing)"},
        {"#!/bin/sh\necho 'error while loading shared libraries: libx.so.1' >&2\nexit 127\n",
         "does not answer as a controller (--version: exit status 127, printed \"error while "
         "loading shared libraries: libx.so.1\\n\")"},
        {"#!/bin/sh\nkill -SEGV $$\n",
         "does not answer as a controller (--version: killed by signal 11, printed nothing)"},
        // Read to the end, kept only in part.
        {"#!/bin/sh\nhead -c 100000 /dev/zero | tr '\\0' x\n",
         "does not answer as a controller (--version: exit status 0, printed \"" +
             std::string(1024, 'x') + " ... (100000 bytes)\")"},
        {"\x7f"
         "ELF",
         "can not be run: Exec format error"},
        {controllerScript(std::to_string(ReloadState::formatVersion + 1), "exit 0"),
         "does not read state format " + thisFormat + " (--reload-state-formats: exit status 0, " +
             "printed \"" + std::to_string(ReloadState::formatVersion + 1) + "\\n\")"},
        {controllerScript(thisFormat, "echo \"Exception: $*\" >&2; exit 1"),
         "refuses the configuration (--check-config: exit status 1, printed \"Exception: "
         "--check-config -c /x.cfg\\n\")"},
    };
    for (auto const &[text, refusal] : cases)
        EXPECT_EQ(verdictOn(text), refusal) << text;
    ::close(57);
}

// The program and what it started are killed at the bound, and reaped.
TEST_F(NewProgramCheckTest, AProgramThatHangsIsKilledAtTheBound)
{
    auto const started = directory + "/started";
    EXPECT_EQ(verdictOn("#!/bin/sh\nsleep 1000 &\necho $! > " + started + "\nwait\n", 2s),
              "gave no answer within 2 seconds (--version)");
    pid_t sleeper = 0;
    ASSERT_TRUE(std::ifstream(started) >> sleeper);
    // Killed, it is left to init, which reaps it.
    auto const gone = [sleeper]
    {
        std::ifstream stat("/proc/" + std::to_string(sleeper) + "/stat");
        std::string pid, name, state;
        return !(stat >> pid >> name >> state) || state == "Z";
    };
    boost::asio::io_context io;
    EXPECT_TRUE(testSupport::runUntil(io, gone, 10s));
}

std::string readToEnd(int descriptor)
{
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(descriptor, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

// The new program here is a shell that reports what it inherited on a kept pipe.
TEST(ProgramReplacement, TheNewProgramGetsTheStateAndTheKeptDescriptorsOnly)
{
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    int unkept[2];
    ASSERT_EQ(::pipe2(unkept, O_CLOEXEC), 0);
    std::string const script =
        "cat <&\"$" + std::string(reloadStateVariable) + "\" >&" + std::to_string(report[1]) +
        "; test -e /proc/self/fd/" + std::to_string(unkept[0]) + " && echo leaked >&" +
        std::to_string(report[1]) + "; echo done >&" + std::to_string(report[1]) +
        // SIGHUP (the lowest bit) arrives blocked; dash would clear the mask, bash keeps it.
        "; echo $(( 0x$(sed -n 's/^SigBlk:[[:space:]]*//p' /proc/$$/status) & 1 )) >&" +
        std::to_string(report[1]);
    pid_t const child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        char const *argv[] = {"bash", "-c", script.c_str(), nullptr};
        StateFile file;
        file.open();
        ::write(file.descriptor(), "state\0!", 7);
        ::lseek(file.descriptor(), 0, SEEK_SET);
        replaceProgram("/bin/bash", const_cast<char *const *>(argv), file.descriptor(),
                       {report[1]});
        ::_exit(99);
    }
    ::close(report[1]);
    std::string const seen = readToEnd(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(seen, std::string("state\0!done\n1\n", 14));
    ::close(report[0]);
    ::close(unkept[0]);
    ::close(unkept[1]);
}

TEST(ProgramReplacement, AProgramThatCannotBeExecutedLeavesEverythingAsItWas)
{
    int kept[2];
    ASSERT_EQ(::pipe2(kept, O_CLOEXEC), 0);
    char const *argv[] = {"tt_controller", nullptr};
    StateFile file;
    ASSERT_FALSE(file.open());
    auto const failure =
        replaceProgram("/nonexistent/tt_controller", const_cast<char *const *>(argv),
                       file.descriptor(), {kept[1]});
    EXPECT_EQ(failure.value(), ENOENT);
    EXPECT_EQ(std::getenv(reloadStateVariable), nullptr);
    EXPECT_TRUE(::fcntl(kept[1], F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(file.descriptor(), F_GETFD) & FD_CLOEXEC);
    ::close(kept[0]);
    ::close(kept[1]);
}

TEST(ProgramReplacement, InheritedStateIsReadOnceAndItsVariableGoes)
{
    EXPECT_FALSE(takeInheritedState().has_value());
    int const memory = ::memfd_create("state", 0);
    ReloadState handed;
    handed.configuration = "abc";
    handed.reports = {"r"}; // a text after the document
    auto const text = encodeReloadState(handed);
    ASSERT_EQ(::write(memory, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::setenv(reloadStateVariable, std::to_string(memory).c_str(), 1);
    auto const taken = takeInheritedState();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->configuration, "abc");
    EXPECT_EQ(taken->reports, std::vector<std::string>{"r"});
    EXPECT_EQ(std::getenv(reloadStateVariable), nullptr);
    EXPECT_EQ(::fcntl(memory, F_GETFD), -1); // closed

    // Or left open, and given back on the loop in slices of 16 MiB: 41 MiB take two handlers
    // after the first slice. A queue's large message stays mapped in it, whole through the
    // release, and the file closes with the last such text.
    int const large = ::memfd_create("state", 0);
    handed.reports = {std::string(40 << 20, 'r')};
    handed.apiQueues.emplace_back().unsent = testSupport::sharedTexts({std::string(1 << 20, 'q')});
    auto const largeText = encodeReloadState(handed);
    ASSERT_EQ(::write(large, largeText.data(), largeText.size()),
              static_cast<ssize_t>(largeText.size()));
    ::setenv(reloadStateVariable, std::to_string(large).c_str(), 1);
    std::shared_ptr<InheritedStateFile> left;
    auto inherited = takeInheritedState(&left);
    ASSERT_EQ(inherited->reports, handed.reports);
    ASSERT_EQ(left->descriptor(), large);
    auto message = inherited->apiQueues.at(0).unsent.at(0);
    EXPECT_TRUE(message->isKeptElsewhere());
    inherited.reset();
    boost::asio::io_context io;
    releaseStateFile(io, std::move(left));
    EXPECT_EQ(io.run(), 2u);
    EXPECT_EQ(message->view(), std::string(1 << 20, 'q'));
    struct stat status
    {
    };
    ASSERT_EQ(::fstat(large, &status), 0);
    EXPECT_LE(status.st_blocks * 512, (1 << 20) + 2 * 4096); // the message's pages, no more
    message.reset();
    EXPECT_EQ(::fcntl(large, F_GETFD), -1);

    ::setenv(reloadStateVariable, "x", 1);
    EXPECT_THROW(takeInheritedState(), std::runtime_error);
    EXPECT_EQ(std::getenv(reloadStateVariable), nullptr);
}

// A damaged state must not make a session of standard error, of a pipe, or two of one socket.
TEST(ProgramReplacement, OnlySocketsInheritedOnceAreTakenOver)
{
    int sockets[2];
    int pipe[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    auto const check = [&](std::vector<int> const &devices, int queue)
    {
        ReloadState state;
        state.listeners.push_back({sockets[0], false});
        for (int const descriptor : devices)
            state.devices.emplace_back().descriptor = descriptor;
        state.apiQueues.emplace_back().descriptor = queue;
        return testSupport::failureOf<std::runtime_error>([&]
                                                          { checkInheritedDescriptors(state); });
    };
    EXPECT_EQ(check({sockets[1]}, -1), "(accepted)");
    EXPECT_EQ(check({2}, -1), "damaged state: descriptor 2 is not an inherited socket");
    EXPECT_EQ(check({pipe[0]}, -1), "damaged state: descriptor " + std::to_string(pipe[0]) +
                                        " is not an inherited socket");
    EXPECT_EQ(check({999999}, -1), "damaged state: descriptor 999999 is not an inherited socket");
    EXPECT_EQ(check({sockets[1]}, sockets[1]),
              "damaged state: descriptor " + std::to_string(sockets[1]) + " is named twice");
    for (int const descriptor : {sockets[0], sockets[1], pipe[0], pipe[1]})
        ::close(descriptor);
}

TEST(ProgramReplacement, TheStartedPathIsAbsoluteOrFoundOnThePath)
{
    EXPECT_EQ(startedProgramPath("/usr/sbin/tt_controller"), "/usr/sbin/tt_controller");
    EXPECT_EQ(startedProgramPath("sh").front(), '/');
    auto const relative = startedProgramPath("./build/../build/tt_controller");
    EXPECT_EQ(relative.front(), '/');
    EXPECT_EQ(relative.find(".."), std::string::npos);
}

} // namespace
} // namespace kelvarin::triggerTesting
