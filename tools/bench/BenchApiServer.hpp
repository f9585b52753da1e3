#pragma once

#include "bench/RoundTripLoad.hpp"
#include "sim/WebSocketServer.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// A simulated API server for load: it sends "execute" requests to the relay that registered
// with it, paced by its RoundTripLoad, and hands the load the result of each of its tests
// (every result goes to every server; those of other servers' tests are read and ignored).
// A test's id carries the server's index, the load's generation and the test's sequence.
class BenchApiServer
{
public:
    BenchApiServer(boost::asio::io_context &io, boost::asio::ip::tcp::endpoint const &endpoint,
                   std::uint32_t index);
    BenchApiServer(BenchApiServer const &) = delete;
    BenchApiServer &operator=(BenchApiServer const &) = delete;

    boost::asio::ip::tcp::endpoint localEndpoint() const { return server.localEndpoint(); }
    bool registered() const { return connection.has_value(); }
    std::uint64_t resultsSeen() const { return seen; }

    void setUnits(std::vector<std::uint64_t> units) { this->units = std::move(units); }
    RoundTripLoad &load() { return tests; }

    // Told of every result message, of any test, with the connection it came on.
    using Observer = std::function<void(sim::WebSocketServer::ConnectionId, std::string const &)>;
    void observe(Observer observer) { this->observer = std::move(observer); }
    // A message of the caller's own to the registered controller; false when there is none.
    bool sendText(std::string text);
    // A server that stops reading: the controller's messages to it back up in the sockets and
    // then in the controller's queue.
    void setReading(bool reading) { server.setReading(reading); }

private:
    void onMessage(sim::WebSocketServer::ConnectionId id, std::string const &text);
    void onResult(std::string const &text);
    bool send(std::uint32_t generation, std::uint64_t sequence);

    sim::WebSocketServer server;
    std::uint32_t index;
    std::optional<sim::WebSocketServer::ConnectionId> connection;
    std::vector<std::uint64_t> units;
    std::size_t nextUnit = 0;
    std::uint64_t seen = 0;
    Observer observer;
    RoundTripLoad tests;
};

} // namespace kelvarin::triggerTesting::bench
