#include "common/LogBuffer.hpp"

#include "common/LogLine.hpp"
#include "common/PeerText.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/uuid/uuid.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <ostream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvarin::triggerTesting
{
namespace
{

// A log stream over a LogBuffer that writes into a pipe the test reads without waiting.
class LogBufferTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(::pipe2(ends, O_NONBLOCK), 0);
        // Room for everything a test writes: nothing reads while the buffer writes.
        ASSERT_GT(::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20), 0);
        buffer = std::make_unique<LogBuffer>(ends[1]);
        log.rdbuf(buffer.get());
    }
    void TearDown() override
    {
        buffer.reset();
        ::close(ends[0]);
        ::close(ends[1]);
    }

    // Everything written to the pipe since the last call.
    std::string written()
    {
        std::string text;
        char chunk[65536];
        for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;)
            text.append(chunk, static_cast<std::size_t>(n));
        return text;
    }

    int ends[2]{-1, -1};
    std::unique_ptr<LogBuffer> buffer;
    std::ostream log{nullptr};
    boost::asio::io_context io;
};

TEST_F(LogBufferTest, LinesOfOneTurnOfTheLoopGoOutTogetherAfterItAndAtOnceWithoutALoop)
{
    log << "unitId:" << 7 << " received register request" << std::endl;
    EXPECT_EQ(written(), "unitId:7 received register request\n");
    buffer->attach(io);
    boost::asio::post(io, [&] { log << "first" << std::endl << "second" << std::endl; });
    boost::asio::post(io,
                      [&]
                      {
                          log << "third" << std::endl;
                          EXPECT_EQ(written(), "");
                      });
    io.run();
    EXPECT_EQ(written(), "first\nsecond\nthird\n");
    log << "after" << std::endl;
    EXPECT_EQ(written(), "");
    buffer->detach();
    EXPECT_EQ(written(), "after\n");
    log << "detached" << std::endl;
    EXPECT_EQ(written(), "detached\n");
}

// The hot log lines skip the stream but end and reach its buffer where std::endl would.
TEST_F(LogBufferTest, LogLinesReachTheLogStreamsBufferWholeAtTheEndOfTheirStatement)
{
    auto *const previous = std::clog.rdbuf(buffer.get());
    LogLine() << "unitId:" << DecimalText(18446744073709551615UL)
              << " telling to the device to run requestId:" << UuidText(boost::uuids::uuid{});
    EXPECT_EQ(written(), "unitId:18446744073709551615 telling to the device to run requestId:"
                         "00000000-0000-0000-0000-000000000000\n");
    std::clog << "stream" << std::endl;
    LogLine() << "and is last: " << '1';
    LogLine() << "Received message from API: ---" << PeerText{"x\ny"} << "---";
    EXPECT_EQ(written(), "stream\nand is last: 1\nReceived message from API: ---x\\ny---\n");
    std::clog.rdbuf(nullptr);
    LogLine() << "nowhere";
    std::clog.rdbuf(previous);
    EXPECT_EQ(written(), "");
}

TEST_F(LogBufferTest, SixtyFourKiBOfLinesOrALargePieceGoStraightAfterWhatCameBefore)
{
    buffer->attach(io);
    std::string const line(1000, 'x');
    for (int n = 0; n < 66; ++n)
        log << line << std::endl;
    EXPECT_EQ(written().size(), 66u * 1001u);

    std::string const message(100000, 'm');
    log << "before" << std::endl;
    log << "Writing message to API: ---" << message << "---" << std::endl;
    log << "after" << std::endl;
    std::string const early = written();
    EXPECT_EQ(early, "before\nWriting message to API: ---" + message);
    io.run();
    EXPECT_EQ(early + written(), "before\nWriting message to API: ---" + message + "---\nafter\n");
}

// Standard error as a pipe that nobody reads: full up to `room` bytes left, blocking for every
// other writer, as a service manager's pipe would be.
class FullLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(::pipe(ends), 0);
        ASSERT_EQ(::fcntl(ends[1], F_SETPIPE_SZ, 4096), 4096);
    }
    void TearDown() override
    {
        buffer.reset();
        ::close(ends[0]);
        ::close(ends[1]);
    }

    // Fills the pipe until `room` bytes are left, on a description of the test's own, so that
    // the write end stays blocking.
    void fill(std::size_t room = 0)
    {
        int const own =
            ::open(("/proc/self/fd/" + std::to_string(ends[1])).c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(own, 0);
        std::string const page(4096 - room, 'f');
        ASSERT_EQ(::write(own, page.data(), page.size()), static_cast<ssize_t>(page.size()));
        ::close(own);
    }

    // Reads everything the pipe holds, without waiting.
    std::string drain()
    {
        std::string text;
        char chunk[4096];
        for (pollfd in{ends[0], POLLIN, 0}; ::poll(&in, 1, 0) == 1;)
        {
            auto const n = ::read(ends[0], chunk, sizeof chunk);
            if (n <= 0)
                break;
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

    void start(std::chrono::steady_clock::duration bound)
    {
        buffer = std::make_unique<LogBuffer>(ends[1], bound);
        log.rdbuf(buffer.get());
    }

    int ends[2]{-1, -1};
    std::unique_ptr<LogBuffer> buffer;
    std::ostream log{nullptr};
};

TEST_F(FullLogTest, LinesAFullPipeDoesNotTakeAreDroppedCountedAndToldOnceItTakesAgain)
{
    start(std::chrono::milliseconds(20));
    // More than the pipe holds: its first page goes, its end does not.
    std::string const long_line(5000, 'l');
    log << long_line << std::endl;
    log << "second" << std::endl;
    log << "third" << std::endl;
    EXPECT_EQ(buffer->droppedLines(), 3u);
    // The descriptor shared with others stays as it was.
    EXPECT_EQ(::fcntl(ends[1], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(drain(), std::string(4096, 'l'));

    log << "fourth" << std::endl;
    EXPECT_EQ(drain(), "\nLog: standard error full, dropped 3 lines\nfourth\n");
    log << "fifth" << std::endl;
    EXPECT_EQ(drain(), "fifth\n");
    EXPECT_EQ(buffer->droppedLines(), 3u);

    // Full at a line's end: the notice needs no line end of its own.
    fill(3);
    log << "sixth" << std::endl;
    EXPECT_EQ(drain(), std::string(4093, 'f'));
    log << "seventh" << std::endl;
    EXPECT_EQ(drain(), "Log: standard error full, dropped 1 lines\nseventh\n");
    EXPECT_EQ(buffer->droppedLines(), 4u);
}

// Only the first write waits for the bound: a log nobody reads does not slow every write.
TEST_F(FullLogTest, AfterOneWriteGaveUpTheNextOnesDoNotWait)
{
    fill();
    start(std::chrono::milliseconds(500));
    auto const started = std::chrono::steady_clock::now();
    for (int line = 0; line < 40; ++line)
        log << "line " << line << std::endl;
    // Twenty seconds if each waited; one with much to spare if only the first did.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(buffer->droppedLines(), 40u);
    // Detaching and the destructor give up at once as well.
    drain();
    fill();
    boost::asio::io_context io;
    buffer->attach(io);
    log << "gathered" << std::endl;
    buffer->detach();
    EXPECT_EQ(buffer->droppedLines(), 41u);
}

// What an abort handler does: it writes what the pipe takes at once of the gathered lines and
// returns, full or not.
TEST_F(FullLogTest, WritingTheGatheredLinesAtAnAbortTakesWhatGoesAtOnce)
{
    start(std::chrono::milliseconds(20));
    boost::asio::io_context io;
    buffer->attach(io);
    log << "first" << std::endl << "second" << std::endl;
    EXPECT_EQ(drain(), "");
    buffer->writeGatheredNow();
    EXPECT_EQ(drain(), "first\nsecond\n");

    fill();
    buffer->writeGatheredNow();
    EXPECT_EQ(drain(), std::string(4096, 'f'));
    log << std::string(6000, 'x') << std::endl;
    buffer->writeGatheredNow();
    EXPECT_EQ(drain(), "first\nsecond\n" + std::string(4096 - 13, 'x'));
}

// journald hands services a stream socket.
TEST(LogBufferSocketTest, ASocketThatTakesNothingLosesTheLineAndTheServiceGoesOn)
{
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    std::string const chunk(4096, 's');
    while (::send(ends[1], chunk.data(), chunk.size(), MSG_DONTWAIT) > 0)
    {
    }
    {
        LogBuffer buffer(ends[1], std::chrono::milliseconds(20));
        std::ostream log(&buffer);
        log << "lost" << std::endl;
        EXPECT_EQ(buffer.droppedLines(), 1u);
    }
    ::close(ends[0]);
    ::close(ends[1]);
}

// What the text becomes, byte by byte, the plain way.
std::string reference(std::string const &text)
{
    std::string out;
    for (char c : text.substr(0, peerTextLogLimit))
    {
        auto const byte = static_cast<unsigned char>(c);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte == 0x7f)
        {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        }
        else
            out += c;
    }
    if (text.size() > peerTextLogLimit)
        out += " ... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

TEST(PeerTextTest, TextsPastTheLimitAreCutAndTheirLengthTold)
{
    EXPECT_EQ(peerTextForLog(""), "");
    std::string const fullLength(peerTextLogLimit, 'a');
    EXPECT_EQ(peerTextForLog(fullLength), fullLength);
    std::string const text(16 << 20, '7');
    EXPECT_EQ(peerTextForLog(text), std::string(peerTextLogLimit, '7') + " ... (16777216 bytes)");
    // The cut counts the bytes received, not the escapes written for them.
    std::string const lines(peerTextLogLimit + 1, '\n');
    std::string expected;
    for (std::size_t i = 0; i < peerTextLogLimit; ++i)
        expected += "\\n";
    EXPECT_EQ(peerTextForLog(lines), expected + " ... (1025 bytes)");
}

// Sixteen bytes are looked at a time, then eight, then one: every byte value at every place of
// each, and a second control character after it, is written as the plain way writes it.
TEST(PeerTextTest, EveryByteAtEveryPlaceIsWrittenAsThePlainWayWritesIt)
{
    for (int byte = 0; byte < 256; ++byte)
        for (std::size_t place = 0; place < 27; ++place)
        {
            std::string text(27, 'x');
            text[place] = static_cast<char>(byte);
            ASSERT_EQ(peerTextForLog(text), reference(text)) << byte << " at " << place;
            text[26 - place] = '\n';
            ASSERT_EQ(peerTextForLog(text), reference(text)) << byte << " at " << place;
        }
}

} // namespace
} // namespace kelvarin::triggerTesting
