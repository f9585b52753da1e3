#include "bench/RoundTripLoad.hpp"

#include "bench/DeviceGenerator.hpp"

#include <algorithm>

namespace kelvarin::triggerTesting::bench
{

namespace
{

constexpr auto tickPeriod = std::chrono::milliseconds(1);

} // namespace

RoundTripLoad::RoundTripLoad(boost::asio::io_context &io, Send send)
    : timer(io), send(std::move(send))
{
}

void RoundTripLoad::answered(std::uint32_t ofGeneration, std::uint64_t sequence)
{
    if (ofGeneration != generation || sequence >= sentAt.size())
        return;
    ++answers;
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

bool RoundTripLoad::sendOne()
{
    auto const sequence = sentAt.size();
    sentAt.push_back(monotonicNanoseconds());
    if (!send(generation, sequence))
    {
        sentAt.pop_back();
        return false;
    }
    ++sent;
    return true;
}

void RoundTripLoad::restart(bool closed)
{
    halt();
    ++generation;
    sentAt.clear();
    sent = answers = 0;
    running = true;
    closedLoop = closed;
}

void RoundTripLoad::runClosedLoop(std::size_t window)
{
    restart(true);
    for (std::size_t i = 0; i < window; ++i)
        sendOne();
}

void RoundTripLoad::runOpenLoop(double perSecond)
{
    restart(false);
    rate = perSecond;
    loopStart = monotonicNanoseconds();
    tick();
}

void RoundTripLoad::tick()
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

void RoundTripLoad::halt()
{
    running = false;
    timer.cancel();
}

void RoundTripLoad::beginWindow()
{
    current = Window{};
    lastArrival = monotonicNanoseconds();
    measuring = true;
}

RoundTripLoad::Window RoundTripLoad::endWindow()
{
    measuring = false;
    // A flow that never came back shows as a gap to the window's end.
    current.longestGapNs = std::max(current.longestGapNs, monotonicNanoseconds() - lastArrival);
    return std::move(current);
}

} // namespace kelvarin::triggerTesting::bench
