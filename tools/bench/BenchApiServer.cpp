#include "bench/BenchApiServer.hpp"

#include "sim/SimMessages.hpp"

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <string_view>

namespace kelvarin::triggerTesting::bench
{

namespace
{

constexpr std::string_view testIdKey = "\"test_id\":\"";
constexpr std::size_t uuidTextSize = 36;

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
      index(index), tests(io, [this](std::uint32_t generation, std::uint64_t sequence)
                          { return send(generation, sequence); })
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
    {
        if (observer)
            observer(id, text);
        onResult(text);
    }
}

bool BenchApiServer::sendText(std::string text)
{
    if (!connection)
        return false;
    server.send(*connection, std::move(text));
    return true;
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
    if (getBigEndian(id, 0, 4) == index)
        tests.answered(static_cast<std::uint32_t>(getBigEndian(id, 4, 4)), getBigEndian(id, 8, 8));
}

bool BenchApiServer::send(std::uint32_t generation, std::uint64_t sequence)
{
    if (!connection || units.empty())
        return false;
    boost::uuids::uuid id{};
    putBigEndian(id, 0, index, 4);
    putBigEndian(id, 4, generation, 4);
    putBigEndian(id, 8, sequence, 8);
    auto const unit = units[nextUnit];
    nextUnit = (nextUnit + 1) % units.size();
    server.send(*connection, sim::executeMessage(id, unit, "bench", 1));
    return true;
}

} // namespace kelvarin::triggerTesting::bench
