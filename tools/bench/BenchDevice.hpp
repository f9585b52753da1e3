#pragma once

#include "sim/WebSocketClient.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting::bench
{

// One lean simulated device for load: it connects from a given source address, registers,
// waits for its validation answer and answers every run message with one last result, a copy
// of a prepared message with the run's request id put in. No logging, no checks beyond what
// the routing needs: the benchmark measures the relay, not the device.
class BenchDevice : public std::enable_shared_from_this<BenchDevice>
{
public:
    struct Context
    {
        boost::asio::ip::tcp::endpoint controller;
        std::string resultTemplate; // a whole result message; bytes 5 to 20 are replaced
        // Called once per device: admitted, refused, or failed (no answer, connection lost).
        std::function<void(bool admitted, bool failed)> onOutcome;
        std::function<void()> onLost; // an admitted device's connection ended
    };

    BenchDevice(boost::asio::io_context &io, Context &context, std::uint64_t unitId,
                boost::asio::ip::address_v4 source);

    void start();
    bool holding() const { return admitted && !ended; }

private:
    void onOpen(boost::system::error_code const &ec);
    void onMessage(std::string_view message);
    void end();

    boost::asio::io_context &io;
    Context &context;
    std::uint64_t unitId;
    boost::asio::ip::address_v4 source;
    std::shared_ptr<sim::WebSocketClient> link;
    bool answered = false;
    bool admitted = false;
    bool ended = false;
};

} // namespace kelvarin::triggerTesting::bench
