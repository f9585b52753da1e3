#include "app/ControllerState.hpp"

#include <algorithm>
#include <iterator>

namespace kelvarin::triggerTesting
{

namespace
{

using Totals = ControllerState::Totals;

struct NamedTotal
{
    char const *name;
    std::uint64_t Totals::*total;
};

// The names are part of the reload state: a total keeps its name for good.
constexpr NamedTotal namedTotals[] = {
    {"admissionsAccepted", &Totals::admissionsAccepted},
    {"admissionsRefused", &Totals::admissionsRefused},
    {"validationsDropped", &Totals::validationsDropped},
    {"disconnectionsClean", &Totals::disconnectionsClean},
    {"disconnectionsTimeout", &Totals::disconnectionsTimeout},
    {"testsReceived", &Totals::testsReceived},
    {"repliesResult", &Totals::repliesResult},
    {"repliesUnreachable", &Totals::repliesUnreachable},
    {"repliesUnknown", &Totals::repliesUnknown},
    {"foreignResultsDropped", &Totals::foreignResultsDropped},
    {"receiveBudgetExhausted", &Totals::receiveBudgetExhausted},
    {"reportsDropped", &Totals::reportsDropped},
    {"logLinesDropped", &Totals::logLinesDropped},
    {"metricsConnectionsEvicted", &Totals::metricsConnectionsEvicted},
};

} // namespace

Totals::Named Totals::named() const
{
    Named named;
    for (auto const &[name, total] : namedTotals)
        named.emplace_back(name, this->*total);
    return named;
}

Totals Totals::fromNamed(Named const &named)
{
    Totals totals;
    for (auto const &total : named)
    {
        auto const known =
            std::find_if(std::begin(namedTotals), std::end(namedTotals),
                         [&](auto const &entry) { return total.first == entry.name; });
        if (known != std::end(namedTotals))
            totals.*(known->total) = total.second;
    }
    return totals;
}

std::size_t ControllerState::registeredAPISessions() const
{
    return static_cast<std::size_t>(std::count_if(apiSessions.begin(), apiSessions.end(),
                                                  [](auto const &s) { return s.registered; }));
}

std::string ControllerState::unreadiness() const
{
    std::string missing;
    if (!validatorConnected)
        missing = "validator not connected";
    if (registeredAPISessions() == 0)
        missing += (missing.empty() ? "" : ", ") + std::string("no API session registered");
    return missing;
}

std::string ControllerState::statusLine() const
{
    return "devices online: " + std::to_string(devicesOnline) +
           ", validator: " + (validatorConnected ? "up" : "down") +
           ", API sessions: " + std::to_string(registeredAPISessions()) + " of " +
           std::to_string(apiSessions.size()) + " registered";
}

} // namespace kelvarin::triggerTesting
