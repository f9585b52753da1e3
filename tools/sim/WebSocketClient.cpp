#include "sim/WebSocketClient.hpp"

#include "common/SetNoDelay.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/http/field.hpp>

#include <netinet/in.h>

namespace kelvarin::triggerTesting::sim
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;
using net::ip::tcp;

WebSocketClient::WebSocketClient(net::io_context &io, Settings settings, Handlers handlers)
    : ws(io), settings(std::move(settings)), handlers(std::move(handlers))
{
}

void WebSocketClient::connect()
{
    auto &socket = ws.next_layer();
    error_code ec;
    socket.open(settings.server.protocol(), ec);
    if (!ec && settings.source)
    {
        // The port is chosen at connect time, per destination, so one source address is not
        // limited to one ephemeral range for all its connections.
        int const on = 1;
        ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        socket.bind(tcp::endpoint(*settings.source, 0), ec);
    }
    if (ec)
        return net::post(ws.get_executor(), beast::bind_front_handler(&WebSocketClient::onConnect,
                                                                      shared_from_this(), ec));
    socket.async_connect(settings.server, beast::bind_front_handler(&WebSocketClient::onConnect,
                                                                    shared_from_this()));
}

void WebSocketClient::onConnect(error_code const &ec)
{
    if (ec || closing)
        return onHandshake(ec ? ec : net::error::operation_aborted);
    setNoDelay(ws.next_layer());
    ws.binary(true);
    ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::client));
    if (!settings.subprotocol.empty())
        ws.set_option(websocket::stream_base::decorator(
            [subprotocol = settings.subprotocol](websocket::request_type &request)
            { request.set(beast::http::field::sec_websocket_protocol, subprotocol); }));
    ws.async_handshake(
        response, settings.server.address().to_string(), "/",
        beast::bind_front_handler(&WebSocketClient::onHandshake, shared_from_this()));
}

void WebSocketClient::onHandshake(error_code const &ec)
{
    if (ec)
    {
        auto const failed = std::move(handlers);
        if (failed.onOpen)
            failed.onOpen(ec);
        return;
    }
    open = true;
    if (handlers.onOpen)
        handlers.onOpen(ec);
    if (!writing && !outbox.empty())
        writeFront();
    if (settings.reading)
        readNext();
}

void WebSocketClient::readNext()
{
    ws.async_read(buffer, beast::bind_front_handler(&WebSocketClient::onRead, shared_from_this()));
}

void WebSocketClient::onRead(error_code const &ec, std::size_t)
{
    if (ec)
    {
        open = false;
        dropQueue();
        auto const ended = std::move(handlers);
        if (ended.onClose)
            ended.onClose(ec);
        return;
    }
    if (!closing && handlers.onMessage)
        handlers.onMessage({static_cast<char const *>(buffer.data().data()), buffer.size()});
    buffer.consume(buffer.size());
    readNext();
}

void WebSocketClient::send(std::string message, Written written)
{
    outbox.emplace_back(std::move(message), std::move(written));
    if (open && !writing && !closing)
        writeFront();
}

void WebSocketClient::writeFront()
{
    writing = true;
    ws.async_write(net::buffer(outbox.front().first),
                   beast::bind_front_handler(&WebSocketClient::onWrite, shared_from_this()));
}

void WebSocketClient::onWrite(error_code const &ec, std::size_t)
{
    writing = false;
    auto const written = std::move(outbox.front().second);
    outbox.pop_front();
    if (written)
        written(!ec);
    if (ec || !open || closing)
        return dropQueue();
    if (!outbox.empty())
        writeFront();
}

// Every message not being written is given up; the one in a write stays until it completes.
void WebSocketClient::dropQueue()
{
    auto const keep = writing ? 1u : 0u;
    while (outbox.size() > keep)
    {
        auto const written = std::move(outbox.back().second);
        outbox.pop_back();
        if (written)
            written(false);
    }
}

void WebSocketClient::close()
{
    if (closing)
        return;
    if (!open || writing)
        return closeSocket();
    closing = true;
    dropQueue();
    // The pending read sees the close complete and ends the connection.
    ws.async_close(websocket::close_code::normal,
                   [self = shared_from_this()](error_code const &) {});
}

void WebSocketClient::closeSocket()
{
    closing = true;
    error_code ignored;
    ws.next_layer().close(ignored);
}

} // namespace kelvarin::triggerTesting::sim
