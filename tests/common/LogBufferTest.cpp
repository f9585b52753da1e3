#include "common/LogBuffer.hpp"

#include "common/LogLine.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/uuid/uuid.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
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
    EXPECT_EQ(written(), "stream\nand is last: 1\n");
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

} // namespace
} // namespace kelvarin::triggerTesting
