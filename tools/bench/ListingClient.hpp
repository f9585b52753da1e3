#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// An operator paging through the controller's whole device listing on its metrics endpoint,
// from a thread of its own so that the benchmark's busy event loop does not stretch its
// timings: GET /devices?limit=<page>&after=<next> back to back on one kept-alive connection
// (a new one whenever the controller closes it), following "next" until it is null and then
// again from the start; every twentieth page also GET /status.json and GET /devices/<unit> for
// one unit of the fleet in turn. The fleet is units 1 to fleet, one connection each, all
// admitted: every pass must list each of them exactly once, in order, and every answer must be
// 200 and parse; what does not is counted as a fault and the first few are kept as text.
class ListingClient
{
public:
    struct Result
    {
        std::chrono::nanoseconds elapsed{0};
        std::uint64_t pages = 0;
        std::uint64_t pageBytes = 0; // of the bodies
        std::vector<double> pageMs;  // the answer time of every page, in order
        std::uint64_t passes = 0;    // whole passes, each found complete
        std::uint64_t lookups = 0;   // /status.json and /devices/<unit> answers
        double longestLookupMs = 0;
        std::uint64_t connections = 0; // to the endpoint, the first included
        std::uint64_t faults = 0;
        std::vector<std::string> faultTexts; // the first few
        // device_connections in the last /status.json
        std::uint64_t statusConnections = 0;
    };

    // Yielding, the thread takes the idle scheduling policy, so that it never holds back the
    // event loop that times the round trips on the same processor; a smoke run, which only
    // checks the answers, must get its pages in however busy the machine is, and does not.
    ListingClient(unsigned short port, std::uint64_t fleet, std::size_t pageLimit, bool yielding);
    ~ListingClient();
    ListingClient(ListingClient const &) = delete;
    ListingClient &operator=(ListingClient const &) = delete;

    // Ends the paging after the request under way; the figures of the whole time.
    Result finish();

private:
    void run();

    unsigned short port;
    std::uint64_t fleet;
    std::size_t pageLimit;
    bool yielding;
    std::atomic<bool> stopping{false};
    Result result; // the thread's until it has been joined
    std::thread thread;
};

} // namespace kelvarin::triggerTesting::bench
