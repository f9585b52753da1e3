#include "bench/DeviceGenerator.hpp"

#include "sim/SimMessages.hpp"

#include <boost/uuid/uuid.hpp>

#include <ctime>

namespace kelvarin::triggerTesting::bench
{

std::int64_t monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string paddedResultText(std::size_t size)
{
    std::string const head = "{\"status\":\"ok\",\"pad\":\"";
    std::string const tail = "\"}";
    auto const fixed = head.size() + tail.size();
    return head + std::string(size > fixed ? size - fixed : 0, 'x') + tail;
}

DeviceGenerator::DeviceGenerator(boost::asio::io_context &io, Settings settings, std::ostream &out)
    : io(io), settings(std::move(settings)), out(out)
{
    context.controller = this->settings.controller;
    context.resultTemplate =
        sim::resultMessage(boost::uuids::uuid{}, true, paddedResultText(this->settings.resultSize));
    context.onOutcome = [this](bool wasAdmitted, bool hasFailed)
    { onOutcome(wasAdmitted, hasFailed); };
    context.onLost = [this] { ++lost; };
    devices.reserve(this->settings.count);
}

void DeviceGenerator::start()
{
    firstStart = monotonicNanoseconds();
    if (settings.count == 0)
        onOutcome(false, false);
    while (started < settings.count && started < settings.concurrency)
        startNext();
}

void DeviceGenerator::startNext()
{
    auto const index = started++;
    auto const &source = settings.sources[index % settings.sources.size()];
    devices.push_back(
        std::make_shared<BenchDevice>(io, context, settings.firstUnit + index, source));
    devices.back()->start();
}

void DeviceGenerator::onOutcome(bool wasAdmitted, bool hasFailed)
{
    if (settings.count > 0)
        ++(hasFailed ? failed : wasAdmitted ? admitted : refused);
    if (started < settings.count)
        return startNext();
    if (admitted + refused + failed != settings.count)
        return;
    lastAnswer = monotonicNanoseconds();
    out << "admission " << admitted << " " << refused << " " << failed << " " << firstStart << " "
        << lastAnswer << std::endl;
}

void DeviceGenerator::reportHeld()
{
    std::size_t held = 0;
    for (auto const &device : devices)
        held += device->holding() ? 1 : 0;
    out << "held " << held << std::endl;
}

} // namespace kelvarin::triggerTesting::bench
