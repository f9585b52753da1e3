#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <optional>
#include <streambuf>
#include <string>

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
// Whoever ends the process calls flush() first; lines gathered at a hard kill are lost. Writes
// that fail (nobody reads standard error any more) lose their lines, and the service goes on.
class LogBuffer : public std::streambuf
{
public:
    explicit LogBuffer(int descriptor);
    ~LogBuffer() override;
    LogBuffer(LogBuffer const &) = delete;
    LogBuffer &operator=(LogBuffer const &) = delete;

    // From here on, lines are gathered and flushed from the loop; until detach().
    void attach(boost::asio::io_context &io);
    void detach();
    // Writes every byte gathered so far.
    void flush();

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(char const *text, std::streamsize count) override;
    int sync() override;

private:
    void lineEnded();
    void scheduleWrite();
    void writeWholeLines();
    void writeOut(char const *data, std::size_t size);

    int descriptor;
    boost::asio::io_context *io = nullptr;
    std::optional<boost::asio::steady_timer> pause;
    std::string gathered;
    std::size_t wholeLines = 0; // bytes of gathered that end with a line end
    bool writeScheduled = false;
    std::chrono::steady_clock::time_point lastWrite{};
};

} // namespace kelvarin::triggerTesting
