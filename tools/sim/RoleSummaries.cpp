#include "sim/RoleSummaries.hpp"

#include <cstdint>

namespace kelvarin::triggerTesting::sim
{

namespace
{

template <typename Field>
std::uint64_t total(std::vector<SimApiServer::Stats> const &servers, Field field)
{
    std::uint64_t sum = 0;
    for (auto const &server : servers)
        sum += server.*field;
    return sum;
}

} // namespace

Summary summarizeApiServers(std::vector<SimApiServer::Stats> const &servers)
{
    using Stats = SimApiServer::Stats;
    Summary summary("api");
    summary.add("servers", servers.size());
    summary.add("controllers_registered", total(servers, &Stats::controllersRegistered));
    summary.add("online_queries", total(servers, &Stats::onlineQueries));
    summary.add("offline_answers", total(servers, &Stats::offlineAnswers));
    summary.add("executes_sent", total(servers, &Stats::executesSent));
    summary.add("results_received", total(servers, &Stats::resultsReceived));
    summary.add("own_results", total(servers, &Stats::ownResults));
    summary.add("tests_answered", total(servers, &Stats::testsAnswered));
    summary.add("errors_unreachable", total(servers, &Stats::errorsUnreachable));
    summary.add("errors_other", total(servers, &Stats::errorsOther));
    summary.add("malformed", total(servers, &Stats::malformed));
    summary.add("controller_disconnections", total(servers, &Stats::disconnections));
    return summary;
}

Summary summarizeValidator(SimValidator::Stats const &validator)
{
    Summary summary("validator");
    summary.add("controllers_registered", validator.controllersRegistered);
    summary.add("validate_requests", validator.validateRequests);
    summary.add("admitted", validator.admitted);
    summary.add("refused", validator.refused);
    summary.add("disconnections_clean", validator.disconnectionsClean);
    summary.add("disconnections_timeout", validator.disconnectionsTimeout);
    summary.add("malformed", validator.malformed);
    summary.add("controller_disconnections", validator.disconnections);
    return summary;
}

Summary summarizeDevices(SimDevice::Stats const &devices)
{
    Summary summary("devices");
    summary.add("connected", devices.connected);
    summary.add("connect_failures", devices.connectFailures);
    summary.add("admitted", devices.admitted);
    summary.add("refused", devices.refused);
    summary.add("runs_received", devices.runsReceived);
    summary.add("results_sent", devices.resultsSent);
    summary.add("dropped_on_purpose", devices.dropped);
    summary.add("silent_runs", devices.silentRuns);
    summary.add("malformed_sent", devices.malformedSent);
    summary.add("oversized_sent", devices.oversizedSent);
    summary.add("protocol_errors", devices.protocolErrors);
    summary.add("disconnected", devices.disconnected);
    return summary;
}

} // namespace kelvarin::triggerTesting::sim
