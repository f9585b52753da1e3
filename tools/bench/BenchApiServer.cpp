#include "bench/BenchApiServer.hpp"

#include "bench/DeviceGenerator.hpp"
#include "sim/SimMessages.hpp"

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <algorithm>
#include <string_view>

namespace kelvarin::triggerTesting::bench
{

namespace
{

constexpr std::string_view testIdKey = "\"test_id\":\"";
constexpr std::size_t uuidTextSize = 36;
constexpr auto tickPeriod = std::chrono::milliseconds(1);

void putBigEndian(boost::uuids::uuid &id, std::size_t offset, std::uint64_t value,
                  std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        id.data[offset + i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
}

std::uint64_t getBigEndian(boost::uuids::uuid const &id, std::size_t offset, std::size_t bytes)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        value = (value << 8) | id.data[offset + i];
    return value;
}

} // namespace

BenchApiServer::BenchApiServer(boost::asio::io_context &io,
                               boost::asio::ip::tcp::endpoint const &endpoint, std::uint32_t index)
    : server(io, endpoint,
             {[](sim::WebSocketServer::ConnectionId, std::string const &, std::string const &) {},
              [this](sim::WebSocketServer::ConnectionId id, std::string const &text)
              { onMessage(id, text); },
              [this](sim::WebSocketServer::ConnectionId id, boost::system::error_code const &)
              {
                  if (connection == id)
                      connection.reset();
              }}),
      timer(io), index(index)
{
}

void BenchApiServer::onMessage(sim::WebSocketServer::ConnectionId id, std::string const &text)
{
    if (text.starts_with("{\"type\":\"register\""))
    {
        connection = id;
        return;
    }
    if (text.starts_with("{\"type\":\"execute\""))
        onResult(text);
}

void BenchApiServer::onResult(std::string const &text)
{
    ++seen;
    auto const at = text.rfind(testIdKey);
    if (at == std::string::npos || text.size() < at + testIdKey.size() + uuidTextSize)
        return;
    auto const id = boost::uuids::string_generator()(
        text.begin() + static_cast<long>(at + testIdKey.size()),
        text.begin() + static_cast<long>(at + testIdKey.size() + uuidTextSize));
    if (getBigEndian(id, 0, 4) != index || getBigEndian(id, 4, 4) != generation)
        return;
    auto const sequence = getBigEndian(id, 8, 8);
    if (sequence >= sentAt.size())
        return;
    ++answered;
    auto const now = monotonicNanoseconds();
    if (measuring)
    {
        // Whenever it was sent: a relay that falls behind shows its queue in the latencies.
        ++current.completed;
        current.latenciesNs.push_back(now - sentAt[sequence]);
        current.longestGapNs = std::max(current.longestGapNs, now - lastArrival);
        lastArrival = now;
    }
    if (running && closedLoop)
        sendOne();
}

bool BenchApiServer::sendOne()
{
    if (!connection || units.empty())
        return false;
    boost::uuids::uuid id{};
    putBigEndian(id, 0, index, 4);
    putBigEndian(id, 4, generation, 4);
    putBigEndian(id, 8, sentAt.size(), 8);
    auto const unit = units[nextUnit];
    nextUnit = (nextUnit + 1) % units.size();
    auto text = sim::executeMessage(id, unit, "bench", 1);
    sentAt.push_back(monotonicNanoseconds());
    ++sent;
    server.send(*connection, std::move(text));
    return true;
}

void BenchApiServer::restart(bool closed)
{
    halt();
    ++generation;
    sentAt.clear();
    sent = answered = 0;
    running = true;
    closedLoop = closed;
}

void BenchApiServer::runClosedLoop(std::size_t window)
{
    restart(true);
    for (std::size_t i = 0; i < window; ++i)
        sendOne();
}

void BenchApiServer::runOpenLoop(double perSecond)
{
    restart(false);
    rate = perSecond;
    loopStart = monotonicNanoseconds();
    tick();
}

void BenchApiServer::tick()
{
    if (!running)
        return;
    // Catches up after a late timer, so the offered load stays the one asked for.
    auto const elapsed = static_cast<double>(monotonicNanoseconds() - loopStart) / 1e9;
    auto const due = static_cast<std::uint64_t>(elapsed * rate);
    while (sent < due && sendOne())
    {
    }
    timer.expires_after(tickPeriod);
    timer.async_wait(
        [this](boost::system::error_code const &ec)
        {
            if (!ec)
                tick();
        });
}

void BenchApiServer::halt()
{
    running = false;
    timer.cancel();
}

void BenchApiServer::beginWindow()
{
    current = Window{};
    lastArrival = monotonicNanoseconds();
    measuring = true;
}

BenchApiServer::Window BenchApiServer::endWindow()
{
    measuring = false;
    // A flow that never came back shows as a gap to the window's end.
    current.longestGapNs = std::max(current.longestGapNs, monotonicNanoseconds() - lastArrival);
    return std::move(current);
}

} // namespace kelvarin::triggerTesting::bench
