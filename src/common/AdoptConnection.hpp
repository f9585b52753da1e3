#pragma once

#include "common/WithoutThrowing.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <boost/system/error_code.hpp>

#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kelvarin::triggerTesting
{

// The upgrade request a stand-in peer makes; nothing of it is ever sent on a network.
inline constexpr std::string_view standInUpgradeRequest =
    "GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

namespace adoptDetail
{

// Puts one end of a new local socket pair where the stream's socket goes; the other end is the
// stand-in peer's.
template <class WebSocketStream>
boost::system::error_code placeStandIn(WebSocketStream &ws, boost::asio::ip::tcp protocol,
                                       int &standInPeer)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return {errno, boost::system::system_category()};
    boost::system::error_code ec;
    boost::beast::get_lowest_layer(ws).assign(protocol, pair[0], ec);
    if (ec)
    {
        ::close(pair[0]);
        ::close(pair[1]);
        return ec;
    }
    standInPeer = pair[1];
    return {};
}

// Closes the stand-in and puts the connection's descriptor in its place.
template <class WebSocketStream>
boost::system::error_code replaceStandIn(WebSocketStream &ws, boost::asio::ip::tcp protocol,
                                         int descriptor)
{
    auto &socket = boost::beast::get_lowest_layer(ws);
    boost::system::error_code ec;
    ::close(socket.release(ec));
    if (ec)
        return ec;
    socket.assign(protocol, descriptor, ec);
    if (!ec)
        ws.next_layer().skipHandshake();
    return ec;
}

// The stand-in server's side of the handshake; whatever fails, its end of the pair is closed
// when it returns, so that the handshake it answers never waits for it.
inline void answerAsStandIn(int standInPeer) noexcept
{
    bool assigned = false;
    try
    {
        boost::asio::io_context io(1);
        boost::beast::websocket::stream<boost::asio::local::stream_protocol::socket> server(io);
        boost::system::error_code ec;
        server.next_layer().assign(boost::asio::local::stream_protocol(), standInPeer, ec);
        // From here on the stream closes it.
        assigned = !ec;
        if (assigned)
            server.accept(ec);
    }
    catch (...)
    {
    }
    if (!assigned)
        ::close(standInPeer);
}

} // namespace adoptDetail

// Brings a server-role WebSocket stream to the state its handshake leaves it in, on a connection
// whose handshake another program made: the stream accepts the upgrade request a client would
// have sent, given as a buffer, so nothing is read, and its response is dropped by the
// FrameBoundaryStream beneath, so nothing is written. The peer sees nothing of it, and no
// descriptor but the connection's own is made. On failure the descriptor is not adopted, and the
// caller still owns it.
template <class WebSocketStream>
boost::system::error_code adoptAcceptedConnection(WebSocketStream &ws, int descriptor,
                                                  boost::asio::ip::tcp protocol)
{
    auto &socket = boost::beast::get_lowest_layer(ws);
    boost::system::error_code ec;
    socket.assign(protocol, descriptor, ec);
    if (ec)
        return ec;
    auto &layer = ws.next_layer();
    layer.discardWrites(true);
    ec = withoutThrowing(
        [&]
        {
            boost::system::error_code accept;
            ws.accept(
                boost::asio::buffer(standInUpgradeRequest.data(), standInUpgradeRequest.size()),
                accept);
            return accept;
        });
    layer.discardWrites(false);
    if (ec)
    {
        boost::system::error_code ignored;
        socket.release(ignored);
        return ec;
    }
    layer.skipHandshake();
    return {};
}

// The same for a client-role stream: the stand-in peer is a WebSocket server on a thread of its
// own for the moment of the handshake, which answers the stream's key as a server would. The
// thread is joined before this returns, however the handshake ends.
template <class WebSocketStream>
boost::system::error_code adoptConnectedConnection(WebSocketStream &ws, int descriptor,
                                                   boost::asio::ip::tcp protocol,
                                                   std::string const &host)
{
    int standInPeer = -1;
    auto ec = adoptDetail::placeStandIn(ws, protocol, standInPeer);
    if (ec)
        return ec;
    auto &socket = boost::beast::get_lowest_layer(ws);
    std::thread standIn;
    ec = withoutThrowing(
        [&]
        {
            standIn = std::thread(adoptDetail::answerAsStandIn, standInPeer);
            return boost::system::error_code();
        });
    if (ec)
        ::close(standInPeer);
    else
    {
        ec = withoutThrowing(
            [&]
            {
                boost::system::error_code handshake;
                ws.handshake(host, "/", handshake);
                return handshake;
            });
        // Ends the stand-in's accept, should the handshake have failed before it was answered.
        ::shutdown(socket.native_handle(), SHUT_RDWR);
        standIn.join();
    }
    if (ec)
    {
        boost::system::error_code ignored;
        ::close(socket.release(ignored));
        return ec;
    }
    return adoptDetail::replaceStandIn(ws, protocol, descriptor);
}

} // namespace kelvarin::triggerTesting
