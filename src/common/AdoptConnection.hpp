#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/system/error_code.hpp>

#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvarin::triggerTesting
{

// The upgrade request a stand-in peer makes; nothing of it is ever sent on a network.
inline constexpr std::string_view standInUpgradeRequest =
    "GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// Brings a server-role WebSocket stream to the state its handshake leaves it in, on a connection
// whose handshake another program made. The handshake is made with a stand-in: one end of a local
// socket pair takes the socket's place for it and receives the response, and the connection's own
// descriptor then replaces the stand-in. The peer sees nothing of it. The stream must be over a
// FrameBoundaryStream. On failure the
// descriptor is not adopted, and the caller still owns it.
template <class WebSocketStream>
boost::system::error_code adoptAcceptedConnection(WebSocketStream &ws, int descriptor,
                                                  boost::asio::ip::tcp protocol)
{
    auto &socket = boost::beast::get_lowest_layer(ws);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return {errno, boost::system::system_category()};
    boost::system::error_code ec;
    socket.assign(protocol, pair[0], ec);
    if (ec)
    {
        ::close(pair[0]);
        ::close(pair[1]);
        return ec;
    }
    ws.accept(boost::asio::buffer(standInUpgradeRequest.data(), standInUpgradeRequest.size()), ec);
    ::close(pair[1]);
    boost::system::error_code ignored;
    ::close(socket.release(ignored));
    if (ec)
        return ec;
    socket.assign(protocol, descriptor, ec);
    if (!ec)
        ws.next_layer().skipHandshake();
    return ec;
}

} // namespace kelvarin::triggerTesting
