#include "sim/EventRecord.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

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

EventRecord::Event::Event(std::string_view kind) : time(wallClockNow())
{
    members.SetObject();
    text("ev", kind);
}

EventRecord::Event::Event(Event const &other) : time(other.time)
{
    members.CopyFrom(other.members, members.GetAllocator());
}

EventRecord::Event &EventRecord::Event::add(std::string_view name, rapidjson::Value value)
{
    rapidjson::Value key(name.data(), static_cast<rapidjson::SizeType>(name.size()),
                         members.GetAllocator());
    members.AddMember(key, value, members.GetAllocator());
    return *this;
}

EventRecord::Event &EventRecord::Event::text(std::string_view name, std::string_view value)
{
    return add(name, rapidjson::Value(value.data(), static_cast<rapidjson::SizeType>(value.size()),
                                      members.GetAllocator()));
}

EventRecord::Event &EventRecord::Event::number(std::string_view name, std::uint64_t value)
{
    return add(name, rapidjson::Value(value));
}

EventRecord::Event &EventRecord::Event::flag(std::string_view name, bool value)
{
    return add(name, rapidjson::Value(value));
}

std::string EventRecord::Event::json() const
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("t");
    writer.RawValue(time.data(), time.size(), rapidjson::kNumberType);
    for (auto const &member : members.GetObject())
    {
        writer.Key(member.name.GetString(), member.name.GetStringLength());
        member.value.Accept(writer);
    }
    writer.EndObject();
    return {buffer.GetString(), buffer.GetSize()};
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
