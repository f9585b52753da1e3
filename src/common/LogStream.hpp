#pragma once

#include "common/LogBuffer.hpp"

#include <streambuf>

namespace kelvarin::triggerTesting
{

// The log stream, and the error stream of the help text and the "Exception: " line, write
// through the buffer for as long as this lives: neither waits long for a reader. An abort (a
// broken invariant, an exception nobody catches, the watchdog's signal) meanwhile still hands
// over the lines gathered before it, as far as standard error takes them at once: the abort
// must happen even when nobody reads.
class LogStream
{
public:
    explicit LogStream(LogBuffer &buffer);
    ~LogStream();
    LogStream(LogStream const &) = delete;
    LogStream &operator=(LogStream const &) = delete;

private:
    std::streambuf *previous;
    std::streambuf *previousError;
};

} // namespace kelvarin::triggerTesting
