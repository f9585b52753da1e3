#include "app/reload/Reloader.hpp"

#include "app/reload/ProgramReplacement.hpp"

#include <algorithm>
#include <csignal>
#include <exception>
#include <iostream>
#include <pthread.h>

namespace kelvarin::triggerTesting
{

namespace
{

void maskHangUp(int how)
{
    sigset_t hangUp;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    pthread_sigmask(how, &hangUp, nullptr);
}

} // namespace

void Reloader::blockHangUp()
{
    maskHangUp(SIG_BLOCK);
}

Reloader::Reloader(boost::asio::io_context &io, Steps steps, Timings timings)
    : signals(io), pollTimer(io), reserveTimer(io), steps(std::move(steps)), timings(timings)
{
}

void Reloader::start()
{
    signals.add(SIGHUP);
    waitForSignal();
    // SIGHUP is blocked from the process's start (and across the exec of a reload) until it
    // can be served; one that came meanwhile is delivered now.
    maskHangUp(SIG_UNBLOCK);
}

void Reloader::waitForSignal()
{
    signals.async_wait(
        [this](boost::system::error_code const &ec, int)
        {
            if (ec)
                return;
            waitForSignal();
            reload();
        });
}

void Reloader::reload()
{
    if (underWay)
    {
        std::clog << "Reload already under way: SIGHUP ignored" << std::endl;
        return;
    }
    std::clog << "Reload requested" << std::endl;
    try
    {
        configuration = steps.readConfiguration();
    }
    catch (std::exception const &e)
    {
        std::clog << "Reload refused: " << e.what() << std::endl;
        return;
    }
    if (auto const ec = steps.checkProgram())
    {
        std::clog << "Reload failed: " << ec.message() << std::endl;
        return;
    }
    if (auto const shortfall = descriptorShortfall(); !shortfall.empty())
    {
        std::clog << "Reload refused: " << shortfall << std::endl;
        return;
    }
    if (auto const ec = stateFile.open())
    {
        std::clog << "Reload refused: no descriptor for the state to hand over: " << ec.message()
                  << std::endl;
        return;
    }
    underWay = true;
    reserved = 0;
    toReserve = steps.carriedBytes();
    reserveSlice();
    steps.checkNewProgram([this](std::string const &refusal) { onNewProgramChecked(refusal); });
}

// A slice takes a few milliseconds: the file's pages all at once would stop the loop about as
// long as writing into them.
void Reloader::reserveSlice()
{
    constexpr std::uint64_t slice = 16 << 20;
    auto const length = std::min(slice, toReserve - reserved);
    if (length == 0)
        return;
    // Without them, the write makes the pages as it goes.
    if (stateFile.reserve(reserved, length))
    {
        toReserve = reserved;
        return;
    }
    reserved += length;
    reserveTimer.expires_after(std::chrono::steady_clock::duration::zero());
    reserveTimer.async_wait(
        [this](boost::system::error_code const &ec)
        {
            if (!ec)
                reserveSlice();
        });
}

void Reloader::closeStateFile()
{
    reserveTimer.cancel();
    reserved = toReserve = 0;
    stateFile.close();
}

void Reloader::onNewProgramChecked(std::string const &refusal)
{
    if (!refusal.empty())
    {
        std::clog << "Reload refused: the new program " << refusal << std::endl;
        closeStateFile();
        underWay = false;
        return;
    }
    steps.notify(true);
    steps.hold();
    deadline = std::chrono::steady_clock::now() + timings.handOverBound;
    waitForHandOverPoint();
}

void Reloader::waitForHandOverPoint()
{
    if ((steps.readyForHandOver() && reserved == toReserve) ||
        std::chrono::steady_clock::now() >= deadline)
    {
        handOver();
        return;
    }
    pollTimer.expires_after(timings.poll);
    pollTimer.async_wait([this](boost::system::error_code const &ec) { onPoll(ec); });
}

void Reloader::onPoll(boost::system::error_code const &ec)
{
    if (ec)
        return;
    waitForHandOverPoint();
}

void Reloader::handOver()
{
    std::vector<int> kept;
    auto state = steps.handOver(kept);
    state.configuration = configuration;
    // The lines of the hand-over go out before the program is replaced.
    std::clog << "Reload: handing over " << state.devices.size() << " device connections"
              << std::endl;
    auto failure = stateFile.write(state);
    if (!failure)
        failure = steps.replaceProgram(stateFile.descriptor(), kept);
    std::clog << "Reload failed: " << failure.message() << std::endl;
    closeStateFile();
    steps.resume(state);
    steps.notify(false);
    underWay = false;
}

} // namespace kelvarin::triggerTesting
