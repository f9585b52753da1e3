#include "bench/BenchDevice.hpp"

#include "device/DeviceProtocol.hpp"
#include "sim/SimArguments.hpp"
#include "sim/SimMessages.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/http/field.hpp>

#include <cstring>
#include <netinet/in.h>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;

namespace
{

constexpr std::size_t requestIdOffset = 5;
constexpr std::size_t requestIdSize = 16;
constexpr std::size_t runHeaderSize = 25;
constexpr std::size_t validationAnswerSize = 6;

} // namespace

BenchDevice::BenchDevice(net::io_context &io, Context &context, std::uint64_t unitId,
                         net::ip::address_v4 source)
    : ws(io), context(context), unitId(unitId), source(source)
{
}

void BenchDevice::start()
{
    auto &socket = ws.next_layer();
    error_code ec;
    socket.open(net::ip::tcp::v4(), ec);
    if (!ec)
    {
        // The port is chosen at connect time, per destination, so one source address is not
        // limited to one ephemeral range for all its connections.
        int const on = 1;
        setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        socket.bind(net::ip::tcp::endpoint(source, 0), ec);
    }
    if (ec)
        return onConnect(ec);
    socket.async_connect(context.controller,
                         beast::bind_front_handler(&BenchDevice::onConnect, shared_from_this()));
}

void BenchDevice::onConnect(error_code const &ec)
{
    if (ec)
        return end();
    error_code ignored;
    ws.next_layer().set_option(net::ip::tcp::no_delay(true), ignored);
    ws.binary(true);
    ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::client));
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::request_type &request)
        { request.set(beast::http::field::sec_websocket_protocol, deviceSubprotocol); }));
    ws.async_handshake(context.controller.address().to_string(), "/",
                       beast::bind_front_handler(&BenchDevice::onHandshake, shared_from_this()));
}

void BenchDevice::onHandshake(error_code const &ec)
{
    if (ec)
        return end();
    send(sim::registerMessage(unitId, sim::defaultMacFor(unitId)));
    readNext();
}

void BenchDevice::readNext()
{
    ws.async_read(buffer, beast::bind_front_handler(&BenchDevice::onRead, shared_from_this()));
}

void BenchDevice::onRead(error_code const &ec, std::size_t)
{
    if (ec)
        return end();
    auto const *bytes = static_cast<char const *>(buffer.data().data());
    auto const size = buffer.size();
    if (!answered)
    {
        answered = true;
        admitted = size == validationAnswerSize && bytes[5] == 1;
        context.onOutcome(admitted, false);
    }
    else if (admitted && size >= runHeaderSize)
    {
        std::string result = context.resultTemplate;
        std::memcpy(result.data() + requestIdOffset, bytes + requestIdOffset, requestIdSize);
        send(std::move(result));
    }
    buffer.consume(size);
    readNext();
}

void BenchDevice::send(std::string message)
{
    outbox.push_back(std::move(message));
    if (outbox.size() == 1)
        writeFront();
}

void BenchDevice::writeFront()
{
    ws.async_write(net::buffer(outbox.front()),
                   beast::bind_front_handler(&BenchDevice::onWrite, shared_from_this()));
}

void BenchDevice::onWrite(error_code const &ec, std::size_t)
{
    if (ec)
        return end();
    outbox.pop_front();
    if (!outbox.empty())
        writeFront();
}

void BenchDevice::end()
{
    if (ended)
        return;
    ended = true;
    error_code ignored;
    ws.next_layer().close(ignored);
    if (!answered)
    {
        answered = true;
        context.onOutcome(false, true);
    }
    else if (admitted)
        context.onLost();
}

} // namespace kelvarin::triggerTesting::bench
