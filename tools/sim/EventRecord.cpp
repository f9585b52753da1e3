#include "sim/EventRecord.hpp"

#include "api/Utils.hpp"

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace kelvarin::triggerTesting::sim
{

EventRecord::Event::Event(std::string_view kind)
{
    // Written as text: exactly six decimals, which a double would not keep.
    auto const micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    char time[32];
    std::snprintf(time, sizeof time, "{\"t\":%lld.%06lld", static_cast<long long>(micros / 1000000),
                  static_cast<long long>(micros % 1000000));
    members = time;
    text("ev", kind);
}

EventRecord::Event &EventRecord::Event::add(std::string_view name, std::string_view value)
{
    members.append(",").append(Utils::quoted(std::string(name))).append(":").append(value);
    return *this;
}

EventRecord::Event &EventRecord::Event::text(std::string_view name, std::string_view value)
{
    return add(name, Utils::quoted(std::string(value)));
}

EventRecord::Event &EventRecord::Event::number(std::string_view name, std::uint64_t value)
{
    return add(name, std::to_string(value));
}

EventRecord::Event &EventRecord::Event::flag(std::string_view name, bool value)
{
    return add(name, value ? "true" : "false");
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
