#include "device/DeviceStreamPool.hpp"

#include "common/AdoptConnection.hpp"
#include "device/DeviceProtocol.hpp"

#include <boost/beast/http/field.hpp>

namespace kelvarin::triggerTesting
{

namespace websocket = boost::beast::websocket;

namespace
{

// Every device stream alike: binary messages, the protocol named in the handshake's response,
// and no idle timer of the stream's own, since a stream does not stay with one connection (the
// sessions watch their silence themselves).
// The handshake's bound also bounds a closing handshake.
void setTimeouts(DeviceStreamPool::WebSocket &stream,
                 std::chrono::steady_clock::duration handshakeTimeout)
{
    websocket::stream_base::timeout options{};
    options.handshake_timeout = handshakeTimeout;
    options.idle_timeout = websocket::stream_base::none();
    options.keep_alive_pings = false;
    stream.set_option(options);
}

void configure(DeviceStreamPool::WebSocket &stream)
{
    stream.binary(true);
    stream.set_option(websocket::stream_base::decorator(
        [](websocket::response_type &response)
        { response.set(boost::beast::http::field::sec_websocket_protocol, deviceSubprotocol); }));
}

} // namespace

DeviceStreamPool::WebSocket
DeviceStreamPool::forHandshake(Executor const &executor, Socket &socket, FrameBoundary &frames,
                               std::chrono::steady_clock::duration handshakeTimeout)
{
    WebSocket stream(executor);
    configure(stream);
    setTimeouts(stream, handshakeTimeout);
    stream.next_layer().lend(socket, frames);
    return stream;
}

DeviceStreamPool::WebSocket
DeviceStreamPool::lend(Executor const &executor, Socket &socket, FrameBoundary &frames,
                       std::chrono::steady_clock::duration handshakeTimeout)
{
    if (streams.empty())
        streams.push_back(makeOpen(executor));
    WebSocket stream = std::move(streams.back());
    streams.pop_back();
    setTimeouts(stream, handshakeTimeout);
    stream.next_layer().lend(socket, frames);
    return stream;
}

void DeviceStreamPool::giveBack(WebSocket &&stream)
{
    stream.next_layer().giveBack();
    if (streams.size() < kept && stream.is_open())
        streams.push_back(std::move(stream));
}

// A stream in the state a handshake leaves it in, made without a connection: it accepts the
// upgrade request a client would have sent, given as a buffer, and its response is dropped.
DeviceStreamPool::WebSocket DeviceStreamPool::makeOpen(Executor const &executor)
{
    WebSocket stream(executor);
    configure(stream);
    Socket unopened(executor);
    FrameBoundary frames;
    frames.discarding = true;
    stream.next_layer().lend(unopened, frames);
    boost::system::error_code ec;
    stream.accept(boost::asio::buffer(standInUpgradeRequest.data(), standInUpgradeRequest.size()),
                  ec);
    stream.next_layer().giveBack();
    if (ec)
        throw boost::system::system_error(ec, "device stream");
    return stream;
}

} // namespace kelvarin::triggerTesting
