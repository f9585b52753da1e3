#include "app/reload/ProgramReplacement.hpp"

#include "app/reload/StateFile.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kelvarin::triggerTesting
{
namespace
{

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
    ASSERT_EQ(::write(memory, "abc", 3), 3);
    ::setenv(reloadStateVariable, std::to_string(memory).c_str(), 1);
    EXPECT_EQ(takeInheritedState(), "abc");
    EXPECT_EQ(std::getenv(reloadStateVariable), nullptr);
    EXPECT_EQ(::fcntl(memory, F_GETFD), -1); // closed

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
        try
        {
            checkInheritedDescriptors(state);
        }
        catch (std::runtime_error const &e)
        {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(check({sockets[1]}, -1), "accepted");
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
