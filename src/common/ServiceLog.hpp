#pragma once

#include "common/LogBuffer.hpp"
#include "common/LogStream.hpp"

#include <exception>

namespace kelvarin::triggerTesting
{

// The service's log, for the life of the process: made before anything else, it leaves the
// standard streams unsynced from C stdio (the service writes nothing through it), ignores SIGPIPE
// and writes the log stream, and the error stream, through a LogBuffer on standard error.
//
// Whoever ends the process flushes the buffer first: the destructor does on a normal end, and
// endWithFailure() does before the failure's reason.
class ServiceLog
{
public:
    ServiceLog();
    ServiceLog(ServiceLog const &) = delete;
    ServiceLog &operator=(ServiceLog const &) = delete;

    LogBuffer &buffer() { return logBuffer; }

    // Every line logged before the failure, then "Exception: <what>"; returns the failure status
    // a supervisor can act on.
    int endWithFailure(std::exception const &reason);

private:
    static int prepareStandardError();

    LogBuffer logBuffer;
    LogStream logStream;
};

} // namespace kelvarin::triggerTesting
