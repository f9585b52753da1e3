#include "sim/EventRecord.hpp"

#include "api/Utils.hpp"

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace kelvarin::triggerTesting::sim
{

namespace
{

std::string wallClockNow()
{
    auto const micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(micros / 1000000),
                  static_cast<long long>(micros % 1000000));
    return text;
}

} // namespace

EventRecord::Event::Event(std::string_view kind)
    : line("{\"t\":" + wallClockNow() + ",\"ev\":" + Utils::quoted(std::string(kind)))
{
}

EventRecord::Event &EventRecord::Event::text(std::string_view name, std::string_view value)
{
    line += "," + Utils::quoted(std::string(name)) + ":" + Utils::quoted(std::string(value));
    return *this;
}

EventRecord::Event &EventRecord::Event::number(std::string_view name, std::uint64_t value)
{
    line += "," + Utils::quoted(std::string(name)) + ":" + std::to_string(value);
    return *this;
}

EventRecord::Event &EventRecord::Event::flag(std::string_view name, bool value)
{
    line += "," + Utils::quoted(std::string(name)) + (value ? ":true" : ":false");
    return *this;
}

EventRecord::EventRecord(std::string const &path) : out(path, std::ios::trunc)
{
    if (!out)
        throw std::runtime_error("cannot write the event record " + path);
}

void EventRecord::write(Event const &event)
{
    // Flushed per line: the process may be killed at any moment.
    out << event.json() << std::endl;
}

} // namespace kelvarin::triggerTesting::sim
