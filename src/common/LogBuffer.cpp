#include "common/LogBuffer.hpp"

#include <boost/asio/post.hpp>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace kelvarin::triggerTesting
{

namespace
{

// The least time between two writes of a busy loop, and the most a line waits for its write.
constexpr auto writePause = std::chrono::milliseconds(1);
// Gathered lines that fill this much are written at once.
constexpr std::size_t mostGathered = 64 * 1024;
// A piece this large (a whole result message in a line, say) is not copied into the buffer.
constexpr std::size_t largePiece = 64 * 1024;

} // namespace

LogBuffer::LogBuffer(int descriptor) : descriptor(descriptor) {}

LogBuffer::~LogBuffer()
{
    flush();
}

void LogBuffer::attach(boost::asio::io_context &context)
{
    io = &context;
    pause.emplace(context);
}

void LogBuffer::detach()
{
    flush();
    pause.reset();
    io = nullptr;
    writeScheduled = false;
}

LogBuffer::int_type LogBuffer::overflow(int_type c)
{
    if (!traits_type::eq_int_type(c, traits_type::eof()))
        gathered.push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
}

std::streamsize LogBuffer::xsputn(char const *text, std::streamsize count)
{
    auto const size = static_cast<std::size_t>(count);
    if (size >= largePiece)
    {
        // Everything before it first, so that the order stays.
        flush();
        writeOut(text, size);
        return count;
    }
    gathered.append(text, size);
    return count;
}

// The log stream is synchronised at the end of every line (std::endl).
int LogBuffer::sync()
{
    lineEnded();
    return 0;
}

void LogBuffer::lineEnded()
{
    wholeLines = gathered.size();
    if (io == nullptr || wholeLines >= mostGathered)
    {
        writeWholeLines();
        return;
    }
    if (!writeScheduled)
        scheduleWrite();
}

void LogBuffer::scheduleWrite()
{
    writeScheduled = true;
    auto const earliest = lastWrite + writePause;
    if (std::chrono::steady_clock::now() >= earliest)
    {
        // Runs once the handlers that are ready now have run: their lines go out together.
        boost::asio::post(*io, [this] { writeWholeLines(); });
        return;
    }
    pause->expires_at(earliest);
    pause->async_wait(
        [this](boost::system::error_code const &ec)
        {
            if (!ec)
                writeWholeLines();
        });
}

void LogBuffer::writeWholeLines()
{
    writeScheduled = false;
    auto const lines = wholeLines;
    writeOut(gathered.data(), lines);
    gathered.erase(0, lines);
    wholeLines = 0;
    lastWrite = std::chrono::steady_clock::now();
}

void LogBuffer::flush()
{
    writeOut(gathered.data(), gathered.size());
    gathered.clear();
    wholeLines = 0;
    lastWrite = std::chrono::steady_clock::now();
    if (gathered.capacity() > 2 * mostGathered)
        gathered.shrink_to_fit();
}

void LogBuffer::writeOut(char const *data, std::size_t size)
{
    while (size > 0)
    {
        auto const written = ::write(descriptor, data, size);
        if (written >= 0)
        {
            data += written;
            size -= static_cast<std::size_t>(written);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
        {
            pollfd writable{descriptor, POLLOUT, 0};
            ::poll(&writable, 1, -1);
            continue;
        }
        return; // nobody reads any more: the lines are lost
    }
}

} // namespace kelvarin::triggerTesting
