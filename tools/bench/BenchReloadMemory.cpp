// The reload's memory figures: a controller of its own per run holds a full bound of memory (an
// API server's queue, or the table of running requests), SIGHUP reloads it, and its VmRSS is
// sampled through the hand-over.
#include "bench/BenchRun.hpp"
#include "bench/BenchScenario.hpp"
#include "bench/BenchSupport.hpp"
#include "bench/HandOverSampler.hpp"
#include "bench/HeldDevice.hpp"
#include "sim/SimMessages.hpp"

#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace
{

constexpr std::size_t mebibyte = std::size_t{1} << 20;
// The light flow of tests that times the pause: one answering device, one API server.
constexpr double flowRate = 500;
constexpr std::uint64_t flowUnit = 900'001;
constexpr std::uint64_t bulkUnit = 900'002;
constexpr std::uint64_t firstSilentUnit = 900'101;
constexpr std::size_t silentDevices = 8;
// The size of each part of the multi-part result that fills the queue.
constexpr std::size_t partSize = mebibyte;
constexpr std::string_view refusal = "Too many running requests";
constexpr std::string_view testIdKey = "\"test_id\":\"";
constexpr std::string_view partKey = "part-";
constexpr std::size_t uuidTextSize = 36;

// The benchmark's own tests: the first four bytes tell them from the load's, whose first four
// are the API server's index.
boost::uuids::uuid benchTestId(std::uint32_t kind, std::uint64_t sequence)
{
    boost::uuids::uuid id{};
    for (std::size_t i = 0; i < 4; ++i)
        id.data[i] = static_cast<std::uint8_t>(kind >> (8 * (3 - i)));
    for (std::size_t i = 0; i < 8; ++i)
        id.data[8 + i] = static_cast<std::uint8_t>(sequence >> (8 * (7 - i)));
    return id;
}
constexpr std::uint32_t bulkKind = 0xffff'ffff;
constexpr std::uint32_t runningKind = 0xffff'fffe;

// What names one result message among the others: its test id, and for the parts of the
// multi-part result, the part's number.
std::string resultKey(std::string const &text)
{
    std::string key;
    if (auto const at = text.rfind(testIdKey);
        at != std::string::npos && text.size() >= at + testIdKey.size() + uuidTextSize)
        key = text.substr(at + testIdKey.size(), uuidTextSize);
    if (auto const at = text.find(partKey); at != std::string::npos)
        key += "#" + text.substr(at + partKey.size(), 6);
    return key;
}

// A result part of partSize bytes, compact JSON with its number near the start.
std::string partText(std::size_t part)
{
    char number[24];
    std::snprintf(number, sizeof number, "%06zu", part);
    std::string text = "{\"blob\":\"" + std::string(partKey) + number + "-";
    text.append(partSize - text.size() - 2, 'x');
    text += "\"}";
    return text;
}

// The messages the controller's queue bound dropped, as its log lines count them: "API ...:
// queue full, dropped N messages" with ", and M from K other sessions" when others dropped too.
class DropTally
{
public:
    explicit DropTally(std::string path) : path(std::move(path)) {}

    std::uint64_t update()
    {
        std::ifstream in(path, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        std::string line;
        while (std::getline(in, line))
        {
            if (in.eof())
                break; // a line still being written: read again from its start next time
            offset += line.size() + 1;
            auto const at = line.find(": queue full, dropped ");
            if (at == std::string::npos)
                continue;
            dropped += std::stoull(line.substr(at + 22));
            if (auto const others = line.find(", and "); others != std::string::npos)
                dropped += std::stoull(line.substr(others + 6));
        }
        return dropped;
    }

private:
    std::string path;
    std::uint64_t offset = 0;
    std::uint64_t dropped = 0;
};

// The messages of a server's connections, those of an earlier connection first.
std::vector<std::string> inConnectionOrder(
    std::map<sim::WebSocketServer::ConnectionId, std::vector<std::string>> const &byConnection)
{
    std::vector<std::string> all;
    for (auto const &[id, keys] : byConnection)
        all.insert(all.end(), keys.begin(), keys.end());
    return all;
}

// The keys only one of the two lists holds (or holds more often), and where they first stand
// in it: what a failed comparison reports.
std::string keysOfOneOnly(std::vector<std::string> const &all,
                          std::vector<std::string> const &frozen)
{
    std::map<std::string, long> balance;
    for (auto const &key : all)
        ++balance[key];
    for (auto const &key : frozen)
        --balance[key];
    std::string text;
    for (auto const &[key, count] : balance)
    {
        if (count == 0)
            continue;
        auto const &list = count > 0 ? all : frozen;
        auto const at = std::find(list.begin(), list.end(), key) - list.begin();
        text += (text.empty() ? "" : ", ") + std::string(count > 0 ? "other" : "frozen") + " has " +
                std::to_string(std::labs(count)) + " more of \"" + key + "\" (first at " +
                std::to_string(at) + ")";
    }
    return text.empty() ? "the same messages in another order" : text;
}

// What the reading server received, the frozen one must have received too, in the same order,
// but for one run of messages in the middle: the oldest of its queue that the bound dropped.
// Empty when that holds, else what is wrong.
std::string queueMismatch(std::vector<std::string> const &all,
                          std::vector<std::string> const &frozen)
{
    if (frozen.size() > all.size())
        return std::to_string(frozen.size()) + " messages at the frozen server, only " +
               std::to_string(all.size()) + " at the other";
    std::size_t prefix = 0;
    while (prefix < frozen.size() && frozen[prefix] == all[prefix])
        ++prefix;
    auto const suffix = frozen.size() - prefix;
    if (!std::equal(frozen.begin() + static_cast<long>(prefix), frozen.end(),
                    all.end() - static_cast<long>(suffix)))
        return "the frozen server's messages after the " + std::to_string(prefix) +
               " first are not the last " + std::to_string(suffix) + " of the other's (" +
               keysOfOneOnly(all, frozen) + ")";
    return "";
}

double mebibytesOf(std::uint64_t kibibytes)
{
    return static_cast<double>(kibibytes) / 1024.0;
}

} // namespace

void BenchRun::HandOverRuns::add(HandOver const &run)
{
    before.push_back(mebibytesOf(run.beforeKiB));
    peak.push_back(mebibytesOf(run.peakKiB));
    peakOver.push_back(mebibytesOf(run.peakKiB) - mebibytesOf(run.beforeKiB));
    after.push_back(mebibytesOf(run.afterKiB));
    stateFile.push_back(static_cast<double>(run.stateFileBytes) / mebibyte);
    signalToTookOver.push_back(run.signalToTookOverMs);
    handOver.push_back(run.handOverMs);
    pause.push_back(run.longestGapMs);
    loopStopped.push_back(run.loopStoppedMs);
}

// The load of the flow server runs throughout; the sampler watches from before the signal until
// the new program has served for a while.
BenchRun::HandOver BenchRun::reloadAndSample(ChildProcess &controller, std::string const &log,
                                             unsigned short metricsPort, BenchApiServer &flow,
                                             net::yield_context yield)
{
    ProcessProbe const probe(controller.pid());
    HandOverSampler sampler(controller.pid(), log, metricsPort);
    pause(milliseconds(100), yield);
    HandOver run;
    run.beforeKiB = probe.residentKiB();
    flow.load().beginWindow();
    auto const signalled = std::chrono::steady_clock::now();
    controller.signal(SIGHUP);
    auto const deadline = signalled + seconds(60);
    while (!sampler.tookOver() && controller.running() &&
           std::chrono::steady_clock::now() < deadline)
        pause(milliseconds(10), yield);
    if (!sampler.tookOver())
        throw std::runtime_error(controller.running()
                                     ? "the new program did not take over within 60 s"
                                     : "the controller ended in its reload");
    pause(settings.quick ? milliseconds(500) : milliseconds(3000), yield);
    auto const window = flow.load().endWindow();
    auto const sampled = sampler.finish();
    flow.load().halt();
    run.afterKiB = settings.quick ? probe.residentKiB() : settledResidentKiB(probe, yield);
    run.peakKiB = std::max(sampled.peakKiB, run.beforeKiB);
    run.stateFileBytes = sampled.stateFileBytes;
    auto const ms = [](auto span)
    { return std::chrono::duration<double, std::milli>(span).count(); };
    run.signalToTookOverMs = ms(*sampled.tookOver - signalled);
    run.handOverMs = sampled.handingOver ? ms(*sampled.tookOver - *sampled.handingOver) : 0;
    run.longestGapMs = static_cast<double>(window.longestGapNs) / 1e6;
    run.loopStoppedMs = ms(sampled.longestUnanswered);
    run.tookOverLine = sampled.tookOverLine;
    if (window.completed == 0)
        throw std::runtime_error("no test of the flow came back through the reload");
    if (sampled.answers == 0)
        throw std::runtime_error("the metrics endpoint never answered");
    if (sampled.longestInterval > milliseconds(50))
        say("  (the sampler was held up: " + std::to_string(ms(sampled.longestInterval)) +
            " ms between two samples)");
    say("  RSS " + std::to_string(run.beforeKiB) + " -> peak " + std::to_string(run.peakKiB) +
        " -> " + std::to_string(run.afterKiB) + " KiB, state file " +
        std::to_string(run.stateFileBytes) + " B, SIGHUP to took over " +
        std::to_string(run.signalToTookOverMs) + " ms, handing over to took over " +
        std::to_string(run.handOverMs) + " ms, longest gap " + std::to_string(run.longestGapMs) +
        " ms, event loop stopped " + std::to_string(run.loopStoppedMs) + " ms (" +
        std::to_string(sampled.answers) + " answers); " + run.tookOverLine);
    return run;
}

// Starts the answering device of the flow and points the server's load at it.
std::unique_ptr<ChildProcess> BenchRun::startFlow(Scenario &scenario, BenchApiServer &server,
                                                  net::yield_context yield)
{
    auto device = startGenerator(scenario, 41, flowUnit, 1);
    auto const admission = words(device->readLine(seconds(30), yield).value_or(""));
    if (admission.size() != 6 || admission[0] != "admission" || admission[1] != "1")
        throw std::runtime_error("the flow's device was not admitted");
    server.setUnits({flowUnit});
    return device;
}

std::vector<std::shared_ptr<HeldDevice>> BenchRun::startHeldDevices(Scenario &scenario,
                                                                    std::uint64_t firstUnit,
                                                                    std::size_t count,
                                                                    net::yield_context yield)
{
    net::ip::tcp::endpoint const controller(net::ip::make_address("127.0.0.1"),
                                            scenario.devicePort);
    std::vector<std::shared_ptr<HeldDevice>> devices;
    for (std::size_t i = 0; i < count; ++i)
    {
        devices.push_back(std::make_shared<HeldDevice>(
            io, controller, firstUnit + i,
            net::ip::make_address_v4("127.0.90." + std::to_string(1 + i))));
        devices.back()->start();
    }
    auto const deadline = std::chrono::steady_clock::now() + seconds(30);
    while (std::chrono::steady_clock::now() < deadline &&
           !std::all_of(devices.begin(), devices.end(), [](auto const &d) { return d->settled(); }))
        pause(milliseconds(10), yield);
    if (!std::all_of(devices.begin(), devices.end(), [](auto const &d) { return d->holding(); }))
        throw std::runtime_error("the benchmark's own devices were not all admitted");
    return devices;
}

// Two API servers; one registers and then stops reading, so that everything the controller
// sends it backs up, first in the sockets and then in the controller's queue, up to the queue's
// bound (set in the configuration). A device fills it with the parts of one multi-part result,
// each handed on to the other server before the next is sent, until the controller logs that
// it drops at the bound; the other server's load is the flow. After the reload the frozen
// server reads again, and what it receives must be what the other received but for the oldest
// messages the bound dropped.
BenchRun::HandOverRuns BenchRun::measureQueueReload(net::yield_context yield)
{
    HandOverRuns runs;
    auto const boundMiB = settings.reloadQueueMiB;
    for (unsigned rep = 0; rep < settings.repetitions; ++rep)
    {
        std::map<sim::WebSocketServer::ConnectionId, std::vector<std::string>> readKeys, frozenKeys;
        std::uint64_t partsRead = 0, frozenBytes = 0;
        auto scenario = makeScenario(2, true);
        scenario->label = "controller-reload-queue";
        auto &reader = *scenario->apis[0], &frozen = *scenario->apis[1];
        reader.observe(
            [&](auto id, std::string const &text)
            {
                readKeys[id].push_back(resultKey(text));
                if (readKeys[id].back().find('#') != std::string::npos)
                    ++partsRead;
            });
        frozen.observe(
            [&](auto id, std::string const &text)
            {
                frozenKeys[id].push_back(resultKey(text));
                frozenBytes += text.size();
            });
        say("reload with a full API queue " + std::to_string(rep + 1) + "/" +
            std::to_string(settings.repetitions) + ": " + std::to_string(boundMiB) + " MiB bound");
        auto const metricsPort = freePort();
        auto controller =
            startController(*scenario, scenario->label,
                            "[api-side]\nqueue-limit-mib=" + std::to_string(boundMiB) + "\n" +
                                metricsSection(metricsPort));
        if (!waitRegistered(*scenario, *controller, yield))
            throw std::runtime_error("the controller did not register with its API servers");
        controller->truncateLog();
        auto const log = logPath(scenario->label);
        auto flow = startFlow(*scenario, reader, yield);
        auto bulk = startHeldDevices(*scenario, bulkUnit, 1, yield).front();

        frozen.setReading(false);
        reader.sendText(sim::executeMessage(benchTestId(bulkKind, rep), bulkUnit, "bench", 1));
        auto const deadline = std::chrono::steady_clock::now() + seconds(10);
        while (bulk->runsRead() == 0 && std::chrono::steady_clock::now() < deadline)
            pause(milliseconds(5), yield);
        if (!bulk->latestRun())
            throw std::runtime_error("the bulk device's run did not come");
        auto const request = *bulk->latestRun();

        DropTally drops(log);
        // The sockets take some megabytes before the queue grows at all.
        std::size_t const most = 2 * boundMiB * mebibyte / partSize + 64;
        std::size_t part = 0;
        for (; part < most && drops.update() == 0; ++part)
        {
            bulk->sendResult(request, false, partText(part));
            auto const handedOn = std::chrono::steady_clock::now() + seconds(10);
            while (partsRead <= part && std::chrono::steady_clock::now() < handedOn)
                pause(milliseconds(1), yield);
            if (partsRead <= part)
                throw std::runtime_error("a result part did not reach the reading API server");
        }
        if (drops.update() == 0)
            throw std::runtime_error("the frozen server's queue did not reach its bound after " +
                                     std::to_string(part) + " parts");
        say("  " + std::to_string(part) + " parts of " + std::to_string(partSize) +
            " B sent, the bound reached");
        reader.load().runOpenLoop(flowRate);
        pause(milliseconds(300), yield);

        auto run = reloadAndSample(*controller, log, metricsPort, reader, yield);
        // The flow has been timed; halted, so that the two servers' lists end at the same
        // message once all has come: with tests still flowing, the last result could have
        // reached the reading server and not yet the frozen one when the lists are taken.
        reader.load().halt();

        // Everything still on its way to the reading server comes in before the frozen one
        // reads again.
        pause(milliseconds(500), yield);
        frozen.setReading(true);
        auto const all = [&] { return inConnectionOrder(readKeys); };
        auto const arrived = std::chrono::steady_clock::now() + seconds(120);
        while (std::chrono::steady_clock::now() < arrived)
        {
            auto const received = inConnectionOrder(frozenKeys);
            auto const sentSoFar = all();
            if (!received.empty() && !sentSoFar.empty() && received.back() == sentSoFar.back() &&
                reader.load().outstanding() == 0)
                break;
            pause(milliseconds(50), yield);
        }
        // The last line of drops is written at most a second after them.
        pause(milliseconds(1100), yield);
        auto const received = inConnectionOrder(frozenKeys);
        auto const sent = all();
        auto const logged = drops.update();
        auto const mismatch = queueMismatch(sent, received);
        say("  frozen server: " + std::to_string(received.size()) + " of " +
            std::to_string(sent.size()) + " messages (" + std::to_string(frozenBytes) +
            " B), the controller logged " + std::to_string(logged) + " dropped" +
            (mismatch.empty() ? ", whole and in order" : ": " + mismatch));
        if (!mismatch.empty() || received.empty() || received.back() != sent.back())
            throw std::runtime_error(
                "the frozen API server's queue did not arrive whole and in order: " +
                (mismatch.empty() ? std::string("its last message never came") : mismatch));
        runs.add(run);
        runs.carried.push_back(static_cast<double>(frozenBytes) / mebibyte);
        runs.dropped.push_back(static_cast<double>(sent.size() - received.size()));

        bulk->close();
        flow->stop(yield);
        controller->stop(yield, seconds(30));
    }
    return runs;
}

// One API server sends "execute" requests whose task is made of byte 1, written as the JSON
// escape \u0001 (six bytes on the wire for each byte held), to devices that read them and never
// answer, until the controller refuses one for its bound of running requests (or the
// benchmark's own cap is reached); then the flow runs and SIGHUP reloads.
BenchRun::HandOverRuns BenchRun::measureRunningReload(net::yield_context yield)
{
    HandOverRuns runs;
    std::size_t const taskSize = settings.quick ? mebibyte : 2 * mebibyte;
    auto const cap = settings.reloadRunningMiB * mebibyte;
    for (unsigned rep = 0; rep < settings.repetitions; ++rep)
    {
        std::uint64_t refused = 0;
        auto scenario = makeScenario(1, true);
        scenario->label = "controller-reload-running";
        auto &api = *scenario->apis[0];
        api.observe(
            [&](auto, std::string const &text)
            {
                if (text.find(refusal) != std::string::npos &&
                    resultKey(text).starts_with("fffffffe"))
                    ++refused;
            });
        say("reload with a full running table " + std::to_string(rep + 1) + "/" +
            std::to_string(settings.repetitions) + ": tasks of " + std::to_string(taskSize) +
            " B of \\u0001" +
            (cap ? ", up to " + std::to_string(settings.reloadRunningMiB) + " MiB" : ""));
        auto const metricsPort = freePort();
        auto controller = startController(*scenario, scenario->label, metricsSection(metricsPort));
        if (!waitRegistered(*scenario, *controller, yield))
            throw std::runtime_error("the controller did not register with its API servers");
        controller->truncateLog();
        auto flow = startFlow(*scenario, api, yield);
        auto devices = startHeldDevices(*scenario, firstSilentUnit, silentDevices, yield);

        // One text for every request: the units have as many digits, so the test id and the
        // unit are put in place.
        auto const prefix = std::string("{\"type\":\"execute\",\"data\":{\"test_id\":\"");
        auto const unitAt = prefix.size() + uuidTextSize + std::strlen("\",\"unit_id\":");
        auto message = sim::executeMessage(benchTestId(runningKind, 0), firstSilentUnit,
                                           std::string(taskSize, '\x01'), 1);
        auto const unitDigits = std::to_string(firstSilentUnit).size();
        std::uint64_t accepted = 0;
        auto runsRead = [&]
        {
            std::uint64_t total = 0;
            for (auto const &device : devices)
                total += device->runsRead();
            return total;
        };
        while (!cap || accepted * taskSize < cap)
        {
            auto const id = boost::uuids::to_string(benchTestId(runningKind, accepted + 1));
            message.replace(prefix.size(), uuidTextSize, id);
            message.replace(unitAt, unitDigits,
                            std::to_string(firstSilentUnit + accepted % silentDevices));
            auto const before = runsRead();
            api.sendText(message);
            auto const deadline = std::chrono::steady_clock::now() + seconds(30);
            while (runsRead() == before && refused == 0 &&
                   std::chrono::steady_clock::now() < deadline)
                pause(milliseconds(1), yield);
            if (refused > 0)
                break;
            if (runsRead() == before)
                throw std::runtime_error("a running request reached no device");
            ++accepted;
        }
        say("  " + std::to_string(accepted) + " requests running (" +
            std::to_string(accepted * taskSize) + " B of tasks)" +
            (refused > 0 ? ", the next refused" : ""));
        api.load().runOpenLoop(flowRate);
        pause(milliseconds(300), yield);

        auto run = reloadAndSample(*controller, logPath(scenario->label), metricsPort, api, yield);
        runs.add(run);
        runs.carried.push_back(static_cast<double>(accepted * taskSize) / mebibyte);
        // "Reload: took over N device connections, M running requests, ..."
        auto const fields = words(run.tookOverLine);
        runs.takenOver.push_back(fields.size() > 7 ? std::stod(fields[6]) : 0);

        for (auto &device : devices)
            device->close();
        flow->stop(yield);
        controller->stop(yield, seconds(30));
    }
    return runs;
}

void BenchRun::addReloadMemoryFigures(BenchReport &report, HandOverRuns const &queue,
                                      HandOverRuns const &running) const
{
    // At most what is carried once more, and back to the size before; a quick run judges none.
    auto atMost = [this](double value) -> std::vector<BenchReport::Target>
    {
        if (settings.quick)
            return {};
        return {BenchReport::Target{false, value}};
    };
    auto addCase = [&](std::string const &section, std::string const &prefix,
                       HandOverRuns const &runs, std::string const &carriedName)
    {
        auto const carried = runs.carried.empty() ? 0.0 : median(runs.carried);
        auto add = [&](std::string const &key, std::string const &name, std::string const &unit,
                       std::vector<double> const &values, std::vector<BenchReport::Target> goals) {
            report.add(section, {prefix + key, name, unit, values, {}, std::move(goals)});
        };
        add("_carried", carriedName, "MiB", runs.carried, {});
        add("_rss_before", "VmRSS before SIGHUP", "MiB", runs.before, {});
        add("_rss_peak", "peak VmRSS through the hand-over", "MiB", runs.peak, {});
        add("_rss_peak_over", "  peak over before", "MiB", runs.peakOver, atMost(carried));
        add("_rss_after", "steady VmRSS after", "MiB", runs.after,
            atMost(runs.before.empty() ? 0 : median(runs.before) * 1.1));
        add("_state_file", "state memory file (largest seen)", "MiB", runs.stateFile, {});
        add("_signal_to_took_over", "SIGHUP to \"Reload: took over\"", "ms", runs.signalToTookOver,
            {});
        add("_hand_over", "\"handing over\" to \"took over\"", "ms", runs.handOver, {});
        add("_loop_stopped", "event loop stopped (metrics unanswered)", "ms", runs.loopStopped,
            atMost(150));
        add("_pause", "longest gap in round trips (500/s)", "ms", runs.pause, {});
    };
    if (!queue.before.empty())
    {
        std::string const section =
            "Reload with a full API queue: " + std::to_string(settings.reloadQueueMiB) +
            " MiB bound, one of two API servers not reading";
        addCase(section, "reload_queue", queue, "delivered to it once it read again");
        report.add(section, {"reload_queue_dropped",
                             "messages the bound dropped",
                             "messages",
                             queue.dropped,
                             {},
                             {}});
    }
    std::string const bound = settings.reloadRunningMiB
                                  ? "up to " + std::to_string(settings.reloadRunningMiB) + " MiB"
                                  : "to the controller's bound";
    std::string const section =
        "Reload with a full running table: tasks of \\u0001, " + bound + ", devices silent";
    addCase(section, "reload_running", running, "running requests' tasks");
    report.add(section, {"reload_running_taken_over",
                         "running requests taken over",
                         "requests",
                         running.takenOver,
                         {},
                         {}});
    if (!queue.before.empty())
        report.note("reload with a full API queue: what the frozen server received once it read "
                    "again was whole and in order (else the benchmark fails)");
}

} // namespace kelvarin::triggerTesting::bench
