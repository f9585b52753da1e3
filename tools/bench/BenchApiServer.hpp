#pragma once

#include "sim/WebSocketServer.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <optional>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// A simulated API server for load: it sends "execute" requests to the relay that registered
// with it, either keeping a fixed number of its own tests outstanding (closed loop, for
// saturation) or at a fixed rate (open loop), and times each of its tests from the moment the
// request is handed to the connection to the arrival of its result. Results of other servers'
// tests (every result goes to every server) are read and ignored.
class BenchApiServer
{
public:
    struct Window
    {
        std::uint64_t completed = 0;           // own results received in the window
        std::vector<std::int64_t> latenciesNs; // of the tests answered in it
        // The longest time without an own result in the window, from its start to its end.
        std::int64_t longestGapNs = 0;
    };

    BenchApiServer(boost::asio::io_context &io, boost::asio::ip::tcp::endpoint const &endpoint,
                   std::uint32_t index);
    BenchApiServer(BenchApiServer const &) = delete;
    BenchApiServer &operator=(BenchApiServer const &) = delete;

    boost::asio::ip::tcp::endpoint localEndpoint() const { return server.localEndpoint(); }
    bool registered() const { return connection.has_value(); }
    std::uint64_t resultsSeen() const { return seen; }

    void setUnits(std::vector<std::uint64_t> units) { this->units = std::move(units); }
    void runClosedLoop(std::size_t window);
    void runOpenLoop(double perSecond);
    // Stops sending; results still arriving are taken in.
    void halt();
    std::uint64_t outstanding() const { return sent - answered; }

    void beginWindow();
    Window endWindow();

private:
    void onMessage(sim::WebSocketServer::ConnectionId id, std::string const &text);
    void onResult(std::string const &text);
    // A new generation of tests: results of the earlier ones are ignored from now on.
    void restart(bool closed);
    bool sendOne(); // false while no relay is registered
    void tick();

    sim::WebSocketServer server;
    boost::asio::steady_timer timer;
    std::uint32_t index;
    std::optional<sim::WebSocketServer::ConnectionId> connection;
    std::vector<std::uint64_t> units;
    std::size_t nextUnit = 0;

    std::uint32_t generation = 0; // tells this run's tests from stale ones
    bool running = false;
    bool closedLoop = false;
    double rate = 0;
    std::int64_t loopStart = 0;
    std::vector<std::int64_t> sentAt; // by sequence number within the generation
    std::uint64_t sent = 0, answered = 0, seen = 0;

    bool measuring = false;
    Window current;
    std::int64_t lastArrival = 0;
};

} // namespace kelvarin::triggerTesting::bench
