#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// The load one client of a relay offers, whatever carries it (an API server's WebSocket, an
// MQTT requester): either a fixed number of requests outstanding (closed loop, for saturation)
// or a fixed rate (open loop, paced every millisecond), each request timed from the moment it
// is handed to the connection to the arrival of its answer. A request is named by its
// generation (one per run, so that late answers of an earlier run are told apart) and its
// sequence number within it; the carrier puts both into the request and hands them back with
// the answer.
class RoundTripLoad
{
public:
    struct Window
    {
        std::uint64_t completed = 0;           // answers received in the window
        std::vector<std::int64_t> latenciesNs; // of the requests answered in it
        // The longest time without an answer in the window, from its start to its end.
        std::int64_t longestGapNs = 0;
    };

    // Hands one request to the connection; false while there is none to take it.
    using Send = std::function<bool(std::uint32_t generation, std::uint64_t sequence)>;

    RoundTripLoad(boost::asio::io_context &io, Send send);
    RoundTripLoad(RoundTripLoad const &) = delete;
    RoundTripLoad &operator=(RoundTripLoad const &) = delete;

    void runClosedLoop(std::size_t window);
    void runOpenLoop(double perSecond);
    // Stops sending; answers still arriving are taken in.
    void halt();
    std::uint64_t outstanding() const { return sent - answers; }

    // An answer arrived; one of an earlier generation, or of no request sent, is ignored.
    void answered(std::uint32_t generation, std::uint64_t sequence);

    void beginWindow();
    Window endWindow();

private:
    // A new generation of requests: answers to the earlier ones are ignored from now on.
    void restart(bool closed);
    bool sendOne();
    void tick();

    boost::asio::steady_timer timer;
    Send send;
    std::uint32_t generation = 0;
    bool running = false;
    bool closedLoop = false;
    double rate = 0;
    std::int64_t loopStart = 0;
    std::vector<std::int64_t> sentAt; // by sequence number within the generation
    std::uint64_t sent = 0, answers = 0;

    bool measuring = false;
    Window current;
    std::int64_t lastArrival = 0;
};

} // namespace kelvarin::triggerTesting::bench
