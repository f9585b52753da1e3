#include "bench/BenchDevice.hpp"

#include "device/DeviceProtocol.hpp"
#include "sim/SimArguments.hpp"
#include "sim/SimMessages.hpp"

#include <cstring>

namespace kelvarin::triggerTesting::bench
{

using boost::system::error_code;

namespace
{

constexpr std::size_t requestIdOffset = 5;
constexpr std::size_t requestIdSize = 16;
constexpr std::size_t runHeaderSize = 25;
constexpr std::size_t validationAnswerSize = 6;

} // namespace

BenchDevice::BenchDevice(boost::asio::io_context &io, Context &context, std::uint64_t unitId,
                         boost::asio::ip::address_v4 source)
    : io(io), context(context), unitId(unitId), source(source)
{
}

void BenchDevice::start()
{
    auto self = shared_from_this();
    link = std::make_shared<sim::WebSocketClient>(
        io,
        sim::WebSocketClient::Settings{context.controller, std::string(deviceSubprotocol), source},
        sim::WebSocketClient::Handlers{[self](error_code const &ec) { self->onOpen(ec); },
                                       [self](std::string_view message)
                                       { self->onMessage(message); },
                                       [self](error_code const &) { self->end(); }});
    link->connect();
}

void BenchDevice::onOpen(error_code const &ec)
{
    if (ec)
        return end();
    link->send(sim::registerMessage(unitId, sim::defaultMacFor(unitId)));
}

void BenchDevice::onMessage(std::string_view message)
{
    if (!answered)
    {
        answered = true;
        admitted = message.size() == validationAnswerSize && message[5] == 1;
        context.onOutcome(admitted, false);
    }
    else if (admitted && message.size() >= runHeaderSize)
    {
        std::string result = context.resultTemplate;
        std::memcpy(result.data() + requestIdOffset, message.data() + requestIdOffset,
                    requestIdSize);
        link->send(std::move(result));
    }
}

void BenchDevice::end()
{
    if (ended)
        return;
    ended = true;
    link->closeSocket();
    if (!answered)
    {
        answered = true;
        context.onOutcome(false, true);
    }
    else if (admitted)
        context.onLost();
}

} // namespace kelvarin::triggerTesting::bench
