#pragma once

#include "app/reload/InheritedStateFile.hpp"
#include "app/reload/ReloadState.hpp"
#include "app/reload/Reloader.hpp"
#include "common/LogBuffer.hpp"

#include <boost/asio/io_context.hpp>

#include <memory>
#include <optional>
#include <string>

namespace kelvarin::triggerTesting
{

// The program's side of a reload, from its start on: what a previous program handed over, when
// this one was started by a reload, and the reloader's steps on the program itself, the one
// installed at the path this one was started from, which is checked, asked and executed.
class ProgramReload
{
public:
    // Reads what a previous program handed over. A state that cannot be read is given up: the
    // connections it named are closed (their devices connect again) and the listening sockets
    // kept, so that the controller starts afresh where it listened.
    ProgramReload(int argc, char *argv[]);
    ProgramReload(ProgramReload const &) = delete;
    ProgramReload &operator=(ProgramReload const &) = delete;

    // What was handed over; null on a first start, and once released.
    ReloadState *inherited() { return state ? &*state : nullptr; }
    // Once the sessions hold what was handed over: the state goes, and the memory file it was
    // read from gives its pages back while the loop runs.
    void release(boost::asio::io_context &io);

    // The reloader's steps: the service's (readConfiguration, hold, readyForHandOver,
    // carriedBytes, handOver, resume, notify) as `service` has them, the program's filled in.
    // The lines gathered in `log` go out before the program is replaced.
    Reloader::Steps steps(boost::asio::io_context &io, LogBuffer &log,
                          Reloader::Steps service) const;

private:
    int argc;
    char **argv;
    std::string programPath;
    std::shared_ptr<InheritedStateFile> stateMemory; // the memory file the state was read from
    std::optional<ReloadState> state;
};

} // namespace kelvarin::triggerTesting
