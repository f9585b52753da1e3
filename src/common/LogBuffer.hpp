#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <streambuf>
#include <string>
#include <sys/types.h>

namespace kelvarin::triggerTesting
{

// The buffer behind the service's log stream. It gathers whole lines (each ended by std::endl)
// and hands them to the descriptor in one write, once the event loop has run the handlers that
// were ready when the first of them was written; but no sooner than a millisecond after the
// previous write, so that a busy loop writes at most a thousand times a second, and at once when
// they fill 64 KiB. A write per line would cost a system call per line, several per test, and a
// write per turn of a busy loop still one per test. Lines are never split between writes or
// reordered; a large piece is written straight through after everything before it. Without an
// event loop every line is written at once.
//
// Nobody may hold the service up by not reading its log: a write waits at most `writeBound` for
// the descriptor to take it (and not at all while the previous one gave up), and what it could
// not write is dropped and counted. The first write that goes through again begins with
// "Log: <n> lines dropped while standard error was full". So that waiting is possible without
// blocking, a pipe or terminal is reopened as a description of our own that does not block
// (setting the flag on the one we were given would change it for every process sharing it), and
// a socket is sent to without waiting.
//
// Whoever ends the process calls flush() first; lines gathered at a hard kill are lost. Writes
// that fail (nobody reads standard error any more) lose their lines, and the service goes on.
class LogBuffer : public std::streambuf
{
public:
    static constexpr auto writeBound = std::chrono::milliseconds(100);

    explicit LogBuffer(int descriptor,
                       std::chrono::steady_clock::duration writeBound = LogBuffer::writeBound);
    ~LogBuffer() override;
    LogBuffer(LogBuffer const &) = delete;
    LogBuffer &operator=(LogBuffer const &) = delete;

    // From here on, lines are gathered and flushed from the loop; until detach().
    void attach(boost::asio::io_context &io);
    void detach();
    // Writes every byte gathered so far, or drops what the descriptor does not take in time.
    void flush();
    // For a signal handler: writes what the descriptor takes at once of the lines gathered,
    // without waiting, allocating or touching the stream. Nothing when the handler interrupted
    // a change of the gathered lines.
    void writeGatheredNow() noexcept;

    // Lines lost to a descriptor that did not take them, since the start.
    std::uint64_t droppedLines() const { return dropped; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(char const *text, std::streamsize count) override;
    int sync() override;

private:
    enum class Mode
    {
        ownDescriptor, // our own description of it, which does not block
        socket,        // sent to without waiting
        regularFile,   // never waits for a reader
        polled,        // shared and blocking: written in pieces a pipe takes whole once ready
    };

    void lineEnded();
    void scheduleWrite();
    void writeWholeLines();
    void writeOut(char const *data, std::size_t size);
    bool writeDropNotice(std::chrono::steady_clock::time_point deadline);
    std::size_t writeUntil(char const *data, std::size_t size,
                           std::chrono::steady_clock::time_point deadline);
    ssize_t writeWithoutWaiting(char const *data, std::size_t size) const noexcept;
    void drop(char const *data, std::size_t size);

    int descriptor;
    Mode mode = Mode::polled;
    bool ownsDescriptor = false;
    std::chrono::steady_clock::duration bound;
    boost::asio::io_context *io = nullptr;
    std::optional<boost::asio::steady_timer> pause;
    std::string gathered;
    std::size_t wholeLines = 0; // bytes of gathered that end with a line end
    bool writeScheduled = false;
    std::chrono::steady_clock::time_point lastWrite{};
    // Set while `gathered` changes, so that a signal handler leaves it alone.
    volatile std::sig_atomic_t changing = 0;
    // The last write gave up: the next ones do not wait until one goes through.
    bool stalled = false;
    // The last byte that went out did not end a line: a notice needs a line of its own.
    bool midLine = false;
    std::uint64_t dropped = 0;
    std::uint64_t droppedUntold = 0;
};

} // namespace kelvarin::triggerTesting
