#include "bench/HeldDevice.hpp"

#include "device/DeviceProtocol.hpp"
#include "sim/SimArguments.hpp"
#include "sim/SimMessages.hpp"

namespace kelvarin::triggerTesting::bench
{

using boost::system::error_code;

namespace
{

// The magic, the type and the request id lead every run message.
constexpr std::size_t runIdOffset = 5;
constexpr std::size_t runHeaderSize = 25;

} // namespace

HeldDevice::HeldDevice(boost::asio::io_context &io,
                       boost::asio::ip::tcp::endpoint const &controller, std::uint64_t unitId,
                       boost::asio::ip::address_v4 source)
    : io(io), controller(controller), unitId(unitId), source(source)
{
}

void HeldDevice::start()
{
    auto self = shared_from_this();
    link = std::make_shared<sim::WebSocketClient>(
        io, sim::WebSocketClient::Settings{controller, std::string(deviceSubprotocol), source},
        sim::WebSocketClient::Handlers{[self](error_code const &ec)
                                       {
                                           if (ec)
                                               self->ended = true;
                                           else
                                               self->link->send(sim::registerMessage(
                                                   self->unitId, sim::defaultMacFor(self->unitId)));
                                       },
                                       [self](std::string_view message)
                                       { self->onMessage(message); },
                                       [self](error_code const &) { self->ended = true; }});
    link->connect();
}

void HeldDevice::onMessage(std::string_view message)
{
    if (!answered)
    {
        answered = true;
        admitted = sim::decodeValidationAnswer(message).value_or(false);
        return;
    }
    // A task may be megabytes: only the request id is kept, not the task.
    if (message.size() < runHeaderSize || message[4] != 2)
        return;
    auto &id = latest.emplace();
    std::copy_n(message.begin() + runIdOffset, id.size(), id.begin());
    ++runs;
}

void HeldDevice::sendResult(boost::uuids::uuid const &requestId, bool isLast,
                            std::string const &text)
{
    if (link)
        link->send(sim::resultMessage(requestId, isLast, text));
}

void HeldDevice::close()
{
    if (link)
        link->closeSocket();
    ended = true;
}

} // namespace kelvarin::triggerTesting::bench
