#pragma once

#include "app/reload/ReloadState.hpp"
#include "app/reload/StateFile.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

namespace kelvarin::triggerTesting
{

struct ReloadTimings
{
    std::chrono::steady_clock::duration poll = std::chrono::milliseconds(1);
    // How long connections may take to reach a message boundary.
    std::chrono::steady_clock::duration handOverBound = std::chrono::seconds(5);
};

// Reloads the controller on SIGHUP: the configuration is read again and, when it is valid, the
// program installed at the controller's path replaces this one in the same process, handed every
// connection and what the controller holds for it.
//
// One reload at a time, on the event loop:
// - the signal's handler reads the configuration, checks that the program can be executed and
//   makes the memory file for the state, and refuses the reload with one line when any of them
//   fails; otherwise it asks the program whether it can take over, and the loop goes on
//   meanwhile, giving the memory file its pages a slice at a time;
// - a program that cannot is refused with one line; otherwise the service manager is told, and
//   the controller holds: no connection is accepted, and every connection finishes the message
//   it is reading or writing and then waits;
// - a timer looks every poll period whether every connection waits at a message boundary and
//   the memory file has its pages, and at the hand-over bound takes what there is: the
//   controller ends the connections that could not get there, as failed ones;
// - then the controller's state is taken and the program replaced. An exec that fails leaves
//   everything as it was before the hold, what the state took put back: the controller goes
//   on.
// A SIGHUP while a reload is under way is logged and ignored.
class Reloader
{
public:
    struct Steps
    {
        // The configuration file's text, checked as a start would check it; throws with the
        // reason when it is not valid.
        std::function<std::string()> readConfiguration;
        // Whether the program at the controller's path can be executed; the reason when not.
        std::function<std::error_code()> checkProgram;
        // Asks that program whether it can take over; the answer comes later on the loop: an
        // empty text when it can, else why not. The loop runs no more once the reloader goes,
        // so the answer never finds it gone.
        std::function<void(std::function<void(std::string const &refusal)>)> checkNewProgram;
        std::function<void()> hold;
        std::function<bool()> readyForHandOver;
        // About how many bytes handOver would carry now: the memory file is given that many
        // pages while the loop runs, so that the hand-over only copies into them.
        std::function<std::uint64_t()> carriedBytes;
        // What the controller holds, and the descriptors the next program must inherit. The
        // running requests' tasks are moved out of their table, not copied.
        std::function<ReloadState(std::vector<int> &kept)> handOver;
        // After a failed exec: what handOver took goes back where it was, and the controller
        // goes on.
        std::function<void(ReloadState &handedBack)> resume;
        // Returns only when the program could not be replaced.
        std::function<std::error_code(int stateFile, std::vector<int> const &kept)> replaceProgram;
        // Tells the service manager: true when the reload begins, false when it is over.
        std::function<void(bool reloading)> notify;
    };

    using Timings = ReloadTimings;

    Reloader(boost::asio::io_context &io, Steps steps, Timings timings = {});
    Reloader(Reloader const &) = delete;
    Reloader &operator=(Reloader const &) = delete;

    // SIGHUP waits, blocked, until start() serves it: before that it would end the process, and
    // across the exec of a reload the mask is kept, so that no SIGHUP is lost in between. Called
    // before any thread exists, so that every thread inherits it.
    static void blockHangUp();
    // Arms the wait for SIGHUP; a SIGHUP that came before is served now.
    void start();
    // What SIGHUP does; for tests.
    void reload();

private:
    void waitForSignal();
    void onNewProgramChecked(std::string const &refusal);
    void waitForHandOverPoint();
    void onPoll(boost::system::error_code const &ec);
    void reserveSlice();
    void handOver();
    void closeStateFile();

    boost::asio::signal_set signals;
    boost::asio::steady_timer pollTimer;
    boost::asio::steady_timer reserveTimer;
    std::uint64_t reserved = 0;
    std::uint64_t toReserve = 0;
    Steps steps;
    Timings timings;
    std::chrono::steady_clock::time_point deadline;
    std::string configuration;
    StateFile stateFile;
    bool underWay = false;
};

} // namespace kelvarin::triggerTesting
