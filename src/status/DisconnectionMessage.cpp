#include "status/DisconnectionMessage.hpp"

#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

namespace kelvarin::triggerTesting
{

namespace
{

std::string reasonText(disconnection_reason reason)
{
    return reason == clean ? "clean" : "timeout";
}

// UTC in whole seconds; the fraction is cut, never rounded up into the next second.
std::string utcText(std::chrono::system_clock::time_point time)
{
    auto const seconds =
        std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
    std::time_t const epochSeconds = static_cast<std::time_t>(seconds);
    std::tm calendar{};
    ::gmtime_r(&epochSeconds, &calendar);
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::put_time(&calendar, "%FT%T");
    return text.str();
}

} // namespace

std::string prepareDisconnectionMessage(unsigned long const &unitId, disconnection_reason reason,
                                        std::chrono::system_clock::time_point time)
{
    return "{\"type\":\"unit_disconnect\",\"reason\":\"" + reasonText(reason) +
           "\",\"dtime_utc\":\"" + utcText(time) + "\",\"unit_id\":" + std::to_string(unitId) + "}";
}

} // namespace kelvarin::triggerTesting
