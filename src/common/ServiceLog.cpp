#include "common/ServiceLog.hpp"

#include <csignal>
#include <iostream>
#include <unistd.h>

namespace kelvarin::triggerTesting
{

ServiceLog::ServiceLog() : logBuffer(prepareStandardError()), logStream(logBuffer) {}

int ServiceLog::endWithFailure(std::exception const &reason)
{
    logBuffer.flush();
    std::cerr << "Exception: " << reason.what() << std::endl;
    return 1;
}

int ServiceLog::prepareStandardError()
{
    // The service uses no C stdio output, and its log stream writes through a buffer of its own.
    // Before the log stream takes the streams over: unsyncing gives them buffers of their own.
    std::ios_base::sync_with_stdio(false);
    // Without a reader on standard error, log lines are lost; the service goes on.
    std::signal(SIGPIPE, SIG_IGN);
    return STDERR_FILENO;
}

} // namespace kelvarin::triggerTesting
