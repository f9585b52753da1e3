#include "app/admin/OperatorQueries.hpp"

#include "app/admin/OperatorJson.hpp"

#include <charconv>
#include <cstdint>

namespace kelvarin::triggerTesting
{

namespace
{

std::optional<std::uint64_t> parseDecimal(std::string_view text)
{
    std::uint64_t value = 0;
    auto const *const end = text.data() + text.size();
    // from_chars takes no sign and no white space, but a leading minus: digits alone pass.
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;
    auto const [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

std::optional<DeviceConnectionView::State> parseState(std::string_view text)
{
    if (text == "validating")
        return DeviceConnectionView::State::validating;
    if (text == "admitted")
        return DeviceConnectionView::State::admitted;
    if (text == "refused")
        return DeviceConnectionView::State::refused;
    return std::nullopt;
}

} // namespace

std::optional<unsigned long> parseUnitId(std::string_view text)
{
    static_assert(sizeof(unsigned long) == sizeof(std::uint64_t));
    return parseDecimal(text);
}

std::variant<DevicePageQuery, std::string> parseDevicePageQuery(std::string_view query)
{
    DevicePageQuery parsed;
    bool seenState = false, seenAfter = false, seenLimit = false;
    while (!query.empty())
    {
        auto const end = query.find('&');
        auto const parameter = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        if (parameter.empty())
            continue;
        auto const equals = parameter.find('=');
        auto const name = parameter.substr(0, equals);
        auto const value =
            equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1);
        auto const once = [&](bool &seen) -> std::optional<std::string>
        {
            if (seen)
                return "parameter given twice: " + quotedText(name);
            seen = true;
            return std::nullopt;
        };
        if (name == "state")
        {
            if (auto twice = once(seenState))
                return *twice;
            parsed.state = parseState(value);
            if (!parsed.state)
                return "state must be validating, admitted or refused";
        }
        else if (name == "after")
        {
            if (auto twice = once(seenAfter))
                return *twice;
            parsed.after = parseUnitId(value);
            if (!parsed.after)
                return "not a unit id: " + quotedText(value);
        }
        else if (name == "limit")
        {
            if (auto twice = once(seenLimit))
                return *twice;
            auto const limit = parseDecimal(value);
            if (!limit || *limit < 1 || *limit > DevicePageQuery::maxLimit)
                return "limit must be a number from 1 to " +
                       std::to_string(DevicePageQuery::maxLimit);
            parsed.limit = static_cast<std::size_t>(*limit);
        }
        else
        {
            return "unknown parameter: " + quotedText(name);
        }
    }
    return parsed;
}

} // namespace kelvarin::triggerTesting
