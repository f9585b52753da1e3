#include "common/LogBuffer.hpp"

#include "common/DecimalText.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
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

// A description of the pipe or terminal behind `descriptor` that is ours alone, so that it may
// be made non-blocking; -1 where the system does not offer one.
int reopenNonBlocking(int descriptor)
{
    auto const path = "/proc/self/fd/" + std::string(DecimalText(descriptor).view());
    return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

// Sets `changing` while the gathered lines change or are being written, so that a signal
// handler neither reads them half moved nor writes twice what has gone already.
class Changing
{
public:
    explicit Changing(volatile std::sig_atomic_t &flag) : flag(flag), previous(flag) { flag = 1; }
    ~Changing() { flag = previous; }
    Changing(Changing const &) = delete;
    Changing &operator=(Changing const &) = delete;

private:
    volatile std::sig_atomic_t &flag;
    std::sig_atomic_t previous;
};

} // namespace

LogBuffer::LogBuffer(int descriptor, std::chrono::steady_clock::duration writeBound)
    : descriptor(descriptor), bound(writeBound)
{
    struct stat status
    {
    };
    if (::fstat(descriptor, &status) != 0 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))
    {
        mode = Mode::regularFile;
        return;
    }
    if (S_ISSOCK(status.st_mode))
    {
        mode = Mode::socket;
        return;
    }
    auto const own = reopenNonBlocking(descriptor);
    if (own >= 0)
    {
        this->descriptor = own;
        ownsDescriptor = true;
        mode = Mode::ownDescriptor;
    }
}

LogBuffer::~LogBuffer()
{
    flush();
    if (ownsDescriptor)
        ::close(descriptor);
}

void LogBuffer::attach(boost::asio::io_context &context)
{
    // The timer first: should it fail to be made, lines go on being written at once.
    pause.emplace(context);
    io = &context;
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
    {
        Changing change(changing);
        gathered.push_back(traits_type::to_char_type(c));
    }
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
    Changing change(changing);
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
    Changing change(changing);
    writeOut(gathered.data(), lines);
    gathered.erase(0, lines);
    wholeLines = 0;
    lastWrite = std::chrono::steady_clock::now();
}

void LogBuffer::flush()
{
    Changing change(changing);
    writeOut(gathered.data(), gathered.size());
    gathered.clear();
    wholeLines = 0;
    lastWrite = std::chrono::steady_clock::now();
    if (gathered.capacity() > 2 * mostGathered)
        gathered.shrink_to_fit();
}

void LogBuffer::writeGatheredNow() noexcept
{
    if (changing != 0)
        return;
    char const *data = gathered.data();
    std::size_t size = gathered.size();
    while (size > 0)
    {
        auto const written = writeWithoutWaiting(data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void LogBuffer::writeOut(char const *data, std::size_t size)
{
    if (size == 0)
        return;
    auto const now = std::chrono::steady_clock::now();
    // Once a write has given up, the next ones only take what goes at once: a log nobody reads
    // costs the loop a system call per write, not a wait.
    auto const deadline = stalled ? now : now + bound;
    if (droppedUntold > 0 && !writeDropNotice(deadline))
    {
        drop(data, size);
        return;
    }
    auto const written = writeUntil(data, size, deadline);
    if (written > 0)
        midLine = data[written - 1] != '\n';
    if (written < size)
    {
        drop(data + written, size - written);
        return;
    }
    stalled = false;
}

bool LogBuffer::writeDropNotice(std::chrono::steady_clock::time_point deadline)
{
    std::string notice = midLine ? "\n" : "";
    notice.append("Log: standard error full, dropped ")
        .append(DecimalText(droppedUntold).view())
        .append(" lines\n");
    auto const written = writeUntil(notice.data(), notice.size(), deadline);
    if (written < notice.size())
    {
        // A notice cut short is not a line of the service's: it is not counted.
        midLine = midLine || written > 0;
        stalled = true;
        return false;
    }
    midLine = false;
    droppedUntold = 0;
    return true;
}

std::size_t LogBuffer::writeUntil(char const *data, std::size_t size,
                                  std::chrono::steady_clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < size)
    {
        auto const written = writeWithoutWaiting(data + done, size - done);
        if (written >= 0)
        {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return done; // nobody reads any more
        auto const left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return done;
        pollfd writable{descriptor, POLLOUT, 0};
        ::poll(&writable, 1, static_cast<int>(left.count()));
    }
    return done;
}

// Only calls that a signal handler may make.
ssize_t LogBuffer::writeWithoutWaiting(char const *data, std::size_t size) const noexcept
{
    switch (mode)
    {
    case Mode::socket:
        return ::send(descriptor, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    case Mode::polled:
    {
        // A pipe that polls writable has room for PIPE_BUF bytes, which it takes whole.
        pollfd writable{descriptor, POLLOUT, 0};
        if (::poll(&writable, 1, 0) == 0)
        {
            errno = EAGAIN;
            return -1;
        }
        return ::write(descriptor, data, std::min<std::size_t>(size, PIPE_BUF));
    }
    case Mode::ownDescriptor:
    case Mode::regularFile:
        break;
    }
    return ::write(descriptor, data, size);
}

void LogBuffer::drop(char const *data, std::size_t size)
{
    auto const lines = static_cast<std::uint64_t>(std::count(data, data + size, '\n'));
    dropped += lines;
    droppedUntold += lines;
    stalled = true;
}

} // namespace kelvarin::triggerTesting
