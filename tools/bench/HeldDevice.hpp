#pragma once

#include "sim/WebSocketClient.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting::bench
{

// A device in the benchmark's own process whose runs the benchmark answers itself, or never:
// it registers, waits for its validation answer, counts the run messages it reads (keeping the
// request id of the latest) and sends what it is told to. It reads on, so the controller's
// writes to it never back up.
class HeldDevice : public std::enable_shared_from_this<HeldDevice>
{
public:
    HeldDevice(boost::asio::io_context &io, boost::asio::ip::tcp::endpoint const &controller,
               std::uint64_t unitId, boost::asio::ip::address_v4 source);

    void start();
    // Admitted by the validator and still connected.
    bool holding() const { return admitted && !ended; }
    // The validation answer came (either way), or the connection ended.
    bool settled() const { return answered || ended; }
    std::uint64_t runsRead() const { return runs; }
    std::optional<boost::uuids::uuid> latestRun() const { return latest; }
    std::uint64_t unit() const { return unitId; }

    // A result for the run, after those sent before.
    void sendResult(boost::uuids::uuid const &requestId, bool isLast, std::string const &text);
    bool allSent() const { return !link || link->allSent(); }
    void close();

private:
    void onMessage(std::string_view message);

    boost::asio::io_context &io;
    boost::asio::ip::tcp::endpoint controller;
    std::uint64_t unitId;
    boost::asio::ip::address_v4 source;
    std::shared_ptr<sim::WebSocketClient> link;
    std::optional<boost::uuids::uuid> latest;
    std::uint64_t runs = 0;
    bool answered = false;
    bool admitted = false;
    bool ended = false;
};

} // namespace kelvarin::triggerTesting::bench
