#include "app/reload/ProgramReload.hpp"

#include "app/reload/NewProgramCheck.hpp"
#include "app/reload/ProgramReplacement.hpp"

#include <cerrno>
#include <exception>
#include <iostream>
#include <memory>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace kelvarin::triggerTesting
{

namespace
{

std::optional<ReloadState> inheritedState(std::shared_ptr<InheritedStateFile> &memory)
{
    try
    {
        auto state = takeInheritedState(&memory);
        if (state)
            checkInheritedDescriptors(*state);
        return state;
    }
    catch (std::exception const &e)
    {
        auto state = recoverInheritedListeners();
        std::clog << "Reload: the handed-over state is unreadable (" << e.what()
                  << "): " << state.closedConnections << " connections closed, starting afresh"
                  << std::endl;
        // Without a listening socket to go on with, the start is a first one: the controller
        // listens where its configuration says, instead of nowhere.
        if (state.state.listeners.empty())
            return std::nullopt;
        return std::move(state.state);
    }
}

} // namespace

ProgramReload::ProgramReload(int argc, char *argv[])
    : argc(argc), argv(argv), programPath(startedProgramPath(argv[0])),
      state(inheritedState(stateMemory))
{
}

void ProgramReload::release(boost::asio::io_context &io)
{
    state.reset();
    if (stateMemory)
        releaseStateFile(io, std::move(stateMemory));
}

Reloader::Steps ProgramReload::steps(boost::asio::io_context &io, LogBuffer &log,
                                     Reloader::Steps service) const
{
    service.checkProgram = [path = programPath]
    {
        return ::access(path.c_str(), X_OK) == 0 ? std::error_code()
                                                 : std::error_code(errno, std::system_category());
    };
    service.checkNewProgram = [&io, argc = argc, argv = argv, path = programPath](auto done)
    {
        // The new program is asked with the arguments it will be executed with.
        std::make_shared<NewProgramCheck>(io, path, std::vector<std::string>(argv + 1, argv + argc))
            ->start(std::move(done));
    };
    service.replaceProgram =
        [argv = argv, path = programPath, &log](int stateFile, std::vector<int> const &kept)
    {
        // The lines gathered so far go out before the program is replaced.
        log.flush();
        return replaceProgram(path, argv, stateFile, kept);
    };
    return service;
}

} // namespace kelvarin::triggerTesting
