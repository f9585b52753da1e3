#include "common/FrameBoundaryStream.hpp"

#include "common/AdoptConnection.hpp"
#include "common/WebSocketFrameCursor.hpp"
#include "support/Helpers.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

namespace net = boost::asio;
namespace websocket = boost::beast::websocket;
using net::ip::tcp;

std::string clientFrame(std::string const &payload, bool fin = true, unsigned char opcode = 2)
{
    return testSupport::webSocketFrame(payload, true, fin, opcode);
}

std::size_t advance(WebSocketFrameCursor &cursor, std::string const &bytes)
{
    return cursor.advance(reinterpret_cast<unsigned char const *>(bytes.data()), bytes.size());
}

TEST(WebSocketFrameCursor, StopsAtTheEndOfEachFrameWhateverTheLengthsForm)
{
    for (std::size_t length : {0UL, 5UL, 125UL, 126UL, 65535UL, 65536UL})
    {
        WebSocketFrameCursor cursor;
        cursor.skipHandshake();
        std::string const frame = clientFrame(std::string(length, 'x'));
        EXPECT_EQ(advance(cursor, frame + clientFrame("next")), frame.size()) << length;
        EXPECT_TRUE(cursor.atMessageBoundary()) << length;
    }
}

TEST(WebSocketFrameCursor, TheHandshakeHeadEndsAtItsEmptyLineAndFramesFollow)
{
    WebSocketFrameCursor cursor;
    EXPECT_EQ(advance(cursor, "GET / HTTP/1.1\r\n\rX"), 18U);
    EXPECT_FALSE(cursor.atMessageBoundary());
    EXPECT_EQ(advance(cursor, "Host: a\r\n\r\n" + clientFrame("x")), 11U);
    EXPECT_TRUE(cursor.atMessageBoundary());
    EXPECT_EQ(advance(cursor, clientFrame("x") + clientFrame("y")), clientFrame("x").size());
}

TEST(WebSocketFrameCursor, ByteByByteAMessageIsOpenUntilItsFinalFrameEnds)
{
    // A fragmented message with a ping between its fragments, then an unmasked server frame.
    std::string const bytes = clientFrame("ab", false) + clientFrame("", true, 0x9) +
                              clientFrame("cd", true, 0x0) + std::string("\x82\x01z", 3);
    WebSocketFrameCursor cursor;
    cursor.skipHandshake();
    std::string boundaries;
    for (char byte : bytes)
    {
        ASSERT_EQ(advance(cursor, std::string(1, byte)), 1U);
        boundaries += cursor.atMessageBoundary() ? '|' : '.';
    }
    // Closed after the last byte of the message's final frame and after the server frame only.
    std::string expected(bytes.size(), '.');
    expected[8 + 6 + 8 - 1] = '|';
    expected.back() = '|';
    EXPECT_EQ(boundaries, expected);
}

TEST(LeadingControlFrame, OnlyWholeMaskedPingsAndPongsAreTakenWithTheirPayloadUnmasked)
{
    std::string ping = "\x89\x82\x01\x02\x03\x04" + std::string("\x69\x6b", 2); // "hi"
    auto const frame = leadingControlFrame(ping + clientFrame("next"));
    EXPECT_EQ(frame.kind, LeadingControlFrame::ping);
    EXPECT_EQ(frame.length, ping.size());
    EXPECT_EQ(frame.payload, "hi");
    EXPECT_EQ(leadingControlFrame(clientFrame("", true, 0xa)).kind, LeadingControlFrame::pong);
    for (std::size_t cut = 1; cut < ping.size(); ++cut)
        EXPECT_EQ(leadingControlFrame(ping.substr(0, cut)).kind, LeadingControlFrame::incomplete);
    // A stream judges the rest: data, close, an unmasked, unfinished or oversized control frame.
    for (std::string const &other :
         {clientFrame("x"), clientFrame("", true, 0x8), std::string("\x89\x00", 2),
          clientFrame("", false, 0x9), clientFrame(std::string(126, 'p'), true, 0x9)})
        EXPECT_EQ(leadingControlFrame(other).kind, LeadingControlFrame::other);
}

// A server end of a real connection, whose stream is handed to a second stream, as a new program
// would take it over, while a client keeps talking.
class FrameBoundaryStreamTest : public ::testing::Test
{
protected:
    using Layer = FrameBoundaryStream<tcp::socket>;
    using ServerStream = websocket::stream<Layer>;

    void SetUp() override
    {
        tcp::acceptor acceptor(io, {net::ip::make_address("127.0.0.1"), 0});
        client.connect(acceptor.local_endpoint());
        deadline.watch(client.native_handle());
        server = std::make_unique<ServerStream>(acceptor.accept());
        std::string const request = std::string(standInUpgradeRequest);
        net::write(client, net::buffer(request));
        server->accept();
        std::string response(4096, '\0');
        std::size_t const got = client.read_some(net::buffer(response));
        ASSERT_NE(response.substr(0, got).find("101"), std::string::npos);
    }

    std::string readMessage(ServerStream &stream)
    {
        boost::beast::flat_buffer buffer;
        bool done = false;
        boost::system::error_code result;
        stream.async_read(buffer,
                          [&](boost::system::error_code ec, std::size_t)
                          {
                              result = ec;
                              done = true;
                          });
        EXPECT_TRUE(testSupport::runUntil(io, [&] { return done; }));
        EXPECT_FALSE(result) << result.message();
        return boost::beast::buffers_to_string(buffer.data());
    }

    // The server's stream ends here; a new stream goes on from its descriptor and its bytes.
    std::unique_ptr<ServerStream> handOver()
    {
        EXPECT_TRUE(server->next_layer().deliveredWholeMessages());
        std::string pending = server->next_layer().pendingBytes();
        int const descriptor = server->next_layer().next_layer().release();
        server.reset();
        auto next = std::make_unique<ServerStream>(io);
        EXPECT_FALSE(adoptAcceptedConnection(*next, descriptor, tcp::v4()));
        next->next_layer().preload(std::move(pending));
        return next;
    }

    net::io_context io;
    tcp::socket client{io};
    std::unique_ptr<ServerStream> server;
    testSupport::SocketDeadline deadline; // for the client's blocking reads
};

TEST_F(FrameBoundaryStreamTest, MessagesSentTogetherAreReadOneByOneAcrossAHandOver)
{
    net::write(client, net::buffer(clientFrame("one") + clientFrame("two") +
                                   clientFrame("thr", false) + clientFrame("ee", true, 0)));
    EXPECT_EQ(readMessage(*server), "one");
    // What the socket delivered past the first message waits in the layer, not in the stream.
    EXPECT_FALSE(server->next_layer().pendingBytes().empty());

    auto adopted = handOver();
    EXPECT_EQ(readMessage(*adopted), "two");
    EXPECT_EQ(readMessage(*adopted), "three");
    EXPECT_TRUE(adopted->next_layer().deliveredWholeMessages());
    EXPECT_TRUE(adopted->next_layer().pendingBytes().empty());
}

TEST_F(FrameBoundaryStreamTest, AMessageSplitAcrossTheHandOverArrivesWhole)
{
    std::string const message(100000, 'm');
    std::string const frame = clientFrame(message);
    net::write(client, net::buffer(clientFrame("first") + frame.substr(0, 10)));
    EXPECT_EQ(readMessage(*server), "first");
    auto adopted = handOver();
    net::write(client, net::buffer(frame.substr(10)));
    EXPECT_TRUE(readMessage(*adopted) == message);
}

TEST_F(FrameBoundaryStreamTest, GatheredWritesWaitAndGoOutWithTheNextWrite)
{
    server->binary(true);
    auto write = [&](std::string const &text)
    {
        bool done = false;
        server->async_write(net::buffer(text), [&](auto const &ec, std::size_t) { done = !ec; });
        EXPECT_TRUE(testSupport::runUntil(io, [&] { return done; }));
    };
    server->next_layer().gatherWrites(true);
    write("a");
    write("b");
    EXPECT_TRUE(server->next_layer().isWriting());
    EXPECT_EQ(client.available(), 0U);
    server->next_layer().gatherWrites(false);
    write("c");
    EXPECT_FALSE(server->next_layer().isWriting());
    std::string received(9, '\0');
    net::read(client, net::buffer(received));
    EXPECT_EQ(received, std::string("\x82\x01"
                                    "a\x82\x01"
                                    "b\x82\x01"
                                    "c",
                                    9));
}

// A socket that takes fewer bytes than were gathered must not end the next frame's write as if
// it were done: the frame would be lost, and the stream go on without it.
TEST(FrameBoundaryStream, AWriteThatTakesOnlyGatheredBytesGoesOnWithItsOwn)
{
    net::io_context io;
    FrameBoundaryStream<boost::beast::test::stream> layer(io);
    boost::beast::test::stream peer(io);
    layer.next_layer().connect(peer);
    layer.next_layer().write_size(1);
    layer.gatherWrites(true);
    std::size_t gathered = 0;
    layer.async_write_some(net::buffer(std::string_view("ab")),
                           [&](auto const &, std::size_t n) { gathered = n; });
    io.run();
    io.restart();
    layer.gatherWrites(false);
    boost::system::error_code ec;
    std::size_t written = 0;
    net::async_write(layer, net::buffer(std::string_view("cd")),
                     [&](auto const &error, std::size_t n) { ec = error, written = n; });
    io.run();
    EXPECT_EQ(gathered, 2U);
    EXPECT_FALSE(ec);
    EXPECT_EQ(written, 2U);
    EXPECT_EQ(peer.str(), "abcd");
    EXPECT_FALSE(layer.isWriting());
}

} // namespace
} // namespace kelvarin::triggerTesting
