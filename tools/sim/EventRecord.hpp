#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting::sim
{

// A machine-readable account of what a simulator role saw: one JSON object per line, each
// with the wall-clock time ("t", seconds since the epoch with microseconds) and its kind
// ("ev"), written and flushed at once, so a checker that reads the file while the simulator
// runs, or after it was killed, sees every event up to the last complete line.
class EventRecord
{
public:
    // One event's members, in the order they are added.
    class Event
    {
    public:
        explicit Event(std::string_view kind);

        Event &text(std::string_view name, std::string_view value);
        Event &number(std::string_view name, std::uint64_t value);
        Event &flag(std::string_view name, bool value);
        std::string json() const { return members + "}"; }

    private:
        Event &add(std::string_view name, std::string_view value);

        std::string members; // the object without its closing brace
    };

    // Truncates the file; throws std::runtime_error when it cannot be opened.
    explicit EventRecord(std::string const &path);

    void write(Event const &event);

private:
    std::ofstream out;
};

using EventRecordPtr = std::shared_ptr<EventRecord>;

} // namespace kelvarin::triggerTesting::sim
