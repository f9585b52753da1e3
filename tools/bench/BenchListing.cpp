// The device listing's cost to the devices: a controller with its metrics endpoint holds a fleet
// as large as its descriptors allow, tests flow to it at a modest rate, and the round trips are
// timed in windows of equal length without and with an operator paging through the whole
// listing back to back.
#include "bench/BenchRun.hpp"
#include "bench/BenchScenario.hpp"
#include "bench/BenchSupport.hpp"
#include "bench/ListingClient.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace
{

// A rate the machine sustains with room to spare, and high enough that every device of a full
// fleet is sent a test every 10 s: the controller pings a device that has been silent for half
// of its idle time (15 s), a sweep's worth at once, and those bursts would be in the windows.
constexpr double listingTestRate = 2000;
// The largest page the endpoint serves; a quick run pages a tiny fleet in several pages.
constexpr std::size_t pageLimit = 1000;
constexpr std::size_t quickPageLimit = 50;
// The listing's connection to the endpoint and one it may be opening when the endpoint closed
// the other.
constexpr std::size_t listingDescriptors = 2;
constexpr milliseconds shortestWindow{5000};

struct Latencies
{
    double p50 = 0, p99 = 0, max = 0;
    std::uint64_t completed = 0;
};

Latencies latenciesOf(RoundTripLoad::Window const &window)
{
    if (window.latenciesNs.empty())
        throw std::runtime_error("no round trip came back in a window of the listing phase");
    std::vector<double> ms;
    ms.reserve(window.latenciesNs.size());
    for (auto ns : window.latenciesNs)
        ms.push_back(static_cast<double>(ns) / 1e6);
    std::sort(ms.begin(), ms.end());
    return {quantile(ms, 0.5), quantile(ms, 0.99), ms.back(), window.completed};
}

std::string figuresText(Latencies const &latencies)
{
    return "p50 " + std::to_string(latencies.p50) + " ms, p99 " + std::to_string(latencies.p99) +
           " ms, max " + std::to_string(latencies.max) + " ms (" +
           std::to_string(latencies.completed) + " round trips)";
}

} // namespace

BenchRun::ListingRuns BenchRun::measureListing(net::yield_context yield)
{
    ListingRuns runs;
    auto scenario = makeScenario(1, true);
    scenario->label = "controller-listing";
    auto &api = *scenario->apis.front();
    auto const metricsPort = freePort();
    auto controller = startController(*scenario, scenario->label, metricsSection(metricsPort));
    if (!waitRegistered(*scenario, *controller, yield))
        throw std::runtime_error("the controller did not register with its API servers");
    ProcessProbe const probe(controller->pid());
    auto const fleet = settings.fleet ? settings.fleet
                                      : descriptorLimit() - probe.openDescriptors() -
                                            descriptorReserve - listingDescriptors;
    auto const limit = settings.quick ? quickPageLimit : pageLimit;
    auto const window =
        settings.quick ? settings.measure : std::max(settings.measure, shortestWindow);
    say("listing: " + std::to_string(fleet) + " devices, " +
        std::to_string(static_cast<long>(listingTestRate)) + " tests/s, pages of " +
        std::to_string(limit) + ", windows of " + std::to_string(window.count()) + " ms");
    auto generators = startFleet(*scenario, fleet);
    std::uint64_t admitted = 0;
    for (auto &generator : generators)
    {
        auto const fields = words(generator->readLine(seconds(120), yield).value_or(""));
        if (fields.size() != 6 || fields[0] != "admission")
            throw std::runtime_error("a device generator gave no admission figures");
        admitted += std::stoull(fields[1]);
    }
    // The listing is checked against the whole fleet.
    if (admitted != fleet)
        throw std::runtime_error("the listing's fleet was not all admitted: " +
                                 std::to_string(admitted) + " of " + std::to_string(fleet));
    controller->truncateLog();
    std::vector<std::uint64_t> units(fleet);
    std::iota(units.begin(), units.end(), 1);
    api.setUnits(std::move(units));
    api.load().runOpenLoop(listingTestRate);
    pause(settings.warmUp, yield);

    auto const ms = [](auto span)
    { return std::chrono::duration<double, std::milli>(span).count(); };
    for (unsigned rep = 0; rep < settings.repetitions; ++rep)
    {
        // The controller's CPU over a window, as a share of one processor.
        auto busy = [&](ProcessProbe::CpuTimes const &before)
        { return 100 * (probe.cpuTimes().total() - before.total()) / (ms(window) / 1000); };
        auto cpu = probe.cpuTimes();
        api.load().beginWindow();
        pause(window, yield);
        auto const quiet = latenciesOf(api.load().endWindow());
        auto const quietCpu = busy(cpu);

        cpu = probe.cpuTimes();
        ListingClient client(metricsPort, fleet, limit, !settings.quick);
        api.load().beginWindow();
        pause(window, yield);
        auto const listing = latenciesOf(api.load().endWindow());
        auto const listingCpu = busy(cpu);
        auto const paged = client.finish();
        if (!controller->running())
            throw std::runtime_error("the controller ended while it was listed");

        auto pageMs = paged.pageMs;
        std::sort(pageMs.begin(), pageMs.end());
        auto const pagingSeconds = ms(paged.elapsed) / 1000;
        auto const bytesPerPage =
            paged.pages ? static_cast<double>(paged.pageBytes) / static_cast<double>(paged.pages)
                        : 0;
        say("listing " + std::to_string(rep + 1) + "/" + std::to_string(settings.repetitions) +
            ": without " + figuresText(quiet) + ", controller CPU " + std::to_string(quietCpu) +
            " %; while listing " + figuresText(listing) + ", controller CPU " +
            std::to_string(listingCpu) + " %; " + std::to_string(paged.pages) + " pages in " +
            std::to_string(pagingSeconds) + " s, " + std::to_string(paged.passes) +
            " whole passes, longest page " + std::to_string(pageMs.empty() ? 0 : pageMs.back()) +
            " ms, " + std::to_string(static_cast<long>(bytesPerPage)) + " B per page, " +
            std::to_string(paged.lookups) + " lookups (longest " +
            std::to_string(paged.longestLookupMs) + " ms), " + std::to_string(paged.connections) +
            " connections to the endpoint");
        if (paged.faults > 0 || paged.passes == 0)
        {
            std::string texts;
            for (auto const &text : paged.faultTexts)
                texts += "; " + text;
            throw std::runtime_error("the listing was not whole: " + std::to_string(paged.faults) +
                                     " faults in " + std::to_string(paged.pages) + " pages, " +
                                     std::to_string(paged.passes) + " whole passes" + texts);
        }
        runs.fleet.push_back(static_cast<double>(fleet));
        runs.quietP50.push_back(quiet.p50);
        runs.quietP99.push_back(quiet.p99);
        runs.quietMax.push_back(quiet.max);
        runs.listingP50.push_back(listing.p50);
        runs.listingP99.push_back(listing.p99);
        runs.listingMax.push_back(listing.max);
        runs.quietCpu.push_back(quietCpu);
        runs.listingCpu.push_back(listingCpu);
        runs.listingRate.push_back(static_cast<double>(listing.completed) / (ms(window) / 1000));
        runs.pagesPerSecond.push_back(static_cast<double>(paged.pages) / pagingSeconds);
        runs.pageP50.push_back(quantile(pageMs, 0.5));
        runs.longestPage.push_back(pageMs.back());
        runs.bytesPerPage.push_back(bytesPerPage);
        runs.passes.push_back(static_cast<double>(paged.passes));
        runs.lookups.push_back(static_cast<double>(paged.lookups));
        runs.longestLookup.push_back(paged.longestLookupMs);
    }
    api.load().halt();
    for (auto &generator : generators)
        generator->stop(yield);
    controller->stop(yield, seconds(30));
    return runs;
}

void BenchRun::addListingFigures(BenchReport &report, ListingRuns const &runs) const
{
    auto atMost = [this](double value) -> std::vector<BenchReport::Target>
    {
        if (settings.quick)
            return {};
        return {BenchReport::Target{false, value}};
    };
    auto const window =
        settings.quick ? settings.measure : std::max(settings.measure, shortestWindow);
    std::string const section =
        "Listing: " + std::to_string(static_cast<long>(median(runs.fleet))) +
        " devices admitted, " + std::to_string(static_cast<long>(listingTestRate)) +
        " tests/s, GET /devices?limit=" +
        std::to_string(settings.quick ? quickPageLimit : pageLimit) + " back to back, windows of " +
        std::to_string(window.count()) + " ms";
    auto add = [&](std::string const &key, std::string const &name, std::string const &unit,
                   std::vector<double> const &values, std::vector<BenchReport::Target> goals = {}) {
        report.add(section, {"listing_" + key, name, unit, values, {}, std::move(goals)});
    };
    add("quiet_p50", "round trip p50, no listing", "ms", runs.quietP50);
    add("quiet_p99", "  p99, no listing", "ms", runs.quietP99);
    add("quiet_max", "  max, no listing", "ms", runs.quietMax);
    add("p50", "round trip p50, while listing", "ms", runs.listingP50);
    add("p99", "  p99, while listing", "ms", runs.listingP99, atMost(10));
    add("max", "  max, while listing", "ms", runs.listingMax, atMost(10));
    add("round_trips", "  round trips while listing", "1/s", runs.listingRate);
    add("cpu_quiet", "controller CPU, no listing", "percent", runs.quietCpu);
    add("cpu", "  while listing", "percent", runs.listingCpu);
    add("pages_per_s", "pages served", "1/s", runs.pagesPerSecond);
    add("page_p50", "  page answer time p50", "ms", runs.pageP50);
    add("page_longest", "  longest page answer", "ms", runs.longestPage);
    add("page_bytes", "  bytes per page", "bytes", runs.bytesPerPage);
    add("passes", "whole passes (every unit once)", "passes", runs.passes);
    add("lookups", "status and unit lookups answered", "answers", runs.lookups);
    add("lookup_longest", "  longest of them", "ms", runs.longestLookup);
    report.note("listing: every page and lookup was 200 and parsed, and every pass listed each "
                "unit of the fleet exactly once, in order, admitted (else the benchmark fails)");
}

} // namespace kelvarin::triggerTesting::bench
