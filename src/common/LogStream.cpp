#include "common/LogStream.hpp"

#include <csignal>
#include <iostream>

namespace kelvarin::triggerTesting
{

namespace
{

LogBuffer *gatheredLog = nullptr;

extern "C" void writeLogAndAbort(int)
{
    if (gatheredLog != nullptr)
        gatheredLog->writeGatheredNow();
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

} // namespace

LogStream::LogStream(LogBuffer &buffer)
    : previous(std::clog.rdbuf(&buffer)), previousError(std::cerr.rdbuf(&buffer))
{
    gatheredLog = &buffer;
    std::signal(SIGABRT, writeLogAndAbort);
}

LogStream::~LogStream()
{
    std::signal(SIGABRT, SIG_DFL);
    gatheredLog = nullptr;
    std::cerr.rdbuf(previousError);
    std::clog.rdbuf(previous);
}

} // namespace kelvarin::triggerTesting
