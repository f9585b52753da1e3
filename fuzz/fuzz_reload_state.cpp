// The state a reloading program reads back and takes over: a damaged file must be refused, and
// whatever a readable one holds must be adopted without crashing the program.
#include "app/Controller.hpp"
#include "app/reload/ProgramReplacement.hpp"
#include "app/reload/ReloadState.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/socket_base.hpp>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace kelvarin::triggerTesting;
using boost::asio::ip::tcp;

namespace
{

// Every descriptor the state names becomes a loopback socket of its own, as a previous program
// would have left it, and the state is taken over as a new program takes it.
void adopt(ReloadState state)
{
    if (state.listeners.size() > 4 || state.devices.size() > 16 || state.apiQueues.size() > 4)
        return;
    boost::asio::io_context io;
    tcp::endpoint const loopback(boost::asio::ip::make_address("127.0.0.1"), 0);
    tcp::acceptor acceptor(io, loopback);
    std::vector<tcp::socket> peers;
    auto const connected = [&]
    {
        auto &peer = peers.emplace_back(io);
        peer.connect(acceptor.local_endpoint());
        // Closed with a reset, so that thousands of runs leave no ports waiting.
        peer.set_option(boost::asio::socket_base::linger(true, 0));
        return acceptor.accept().release();
    };
    for (auto &listener : state.listeners)
        listener.descriptor = tcp::acceptor(io, loopback).release();
    for (auto &device : state.devices)
        device.descriptor = connected();
    for (auto &queue : state.apiQueues)
        if (queue.descriptor >= 0)
            queue.descriptor = connected();
    checkInheritedDescriptors(state);
    std::optional<Controller> controller;
    controller.emplace(io, APIOptions{"127.0.0.2", "127.0.0.2", "1"}, DeviceOptions{}, &state);
    io.poll();
    peers.clear();
    controller.reset();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const *data, std::size_t size)
{
    // The controller's lines would only slow the runs down.
    static bool const quiet = (std::clog.rdbuf(nullptr), true);
    (void)quiet;
    std::optional<ReloadState> state;
    try
    {
        state = decodeReloadState(std::string(reinterpret_cast<char const *>(data), size));
        // What was read is written and read again alike.
        auto const again = decodeReloadState(encodeReloadState(*state));
        if (again.devices.size() != state->devices.size() ||
            again.configuration != state->configuration)
            __builtin_trap();
    }
    catch (std::runtime_error const &)
    {
        return 0;
    }
    adopt(std::move(*state));
    return 0;
}
