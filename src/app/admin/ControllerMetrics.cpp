#include "app/admin/ControllerMetrics.hpp"

#include "common/EndpointText.hpp"

#include <prometheus/text_serializer.h>

namespace kelvarin::triggerTesting
{

namespace
{

using prometheus::MetricType;
using State = ControllerState const &;

struct Sample
{
    prometheus::ClientMetric::Label label; // an empty name for none
    double value;
};
using Samples = std::vector<Sample>;

struct Declaration
{
    char const *name;
    char const *help;
    MetricType type;
    Samples (*read)(State);
};

Samples one(double value)
{
    return {{{}, value}};
}

template <class Number> double number(Number value)
{
    return static_cast<double>(value);
}

// One series per API session in the pool, labelled by its endpoint.
template <class Figure> Samples perAPISession(State state, Figure figure)
{
    Samples samples;
    for (auto const &session : state.apiSessions)
        samples.push_back({{"endpoint", endpointText(session.endpoint)}, number(figure(session))});
    return samples;
}

// Counters first, then gauges, and the series of a family in the order the exposition has
// always had, so that scrapes before and after a change read alike.
Declaration const declarations[] = {
    {"tt_controller_admissions_total",
     "Validator answers told to devices still connected, by answer.", MetricType::Counter,
     [](State s) -> Samples
     {
         return {{{"answer", "refused"}, number(s.totals.admissionsRefused)},
                 {{"answer", "accepted"}, number(s.totals.admissionsAccepted)}};
     }},
    {"tt_controller_device_disconnections_total",
     "Disconnections of admitted devices reported to the validator, by reason.",
     MetricType::Counter,
     [](State s) -> Samples
     {
         return {{{"reason", "timeout"}, number(s.totals.disconnectionsTimeout)},
                 {{"reason", "clean"}, number(s.totals.disconnectionsClean)}};
     }},
    {"tt_controller_replies_total",
     "Result messages built for the API servers, by kind: a device's result, an unreachable "
     "unit, or any other error.",
     MetricType::Counter,
     [](State s) -> Samples
     {
         return {{{"kind", "unreachable"}, number(s.totals.repliesUnreachable)},
                 {{"kind", "unknown"}, number(s.totals.repliesUnknown)},
                 {{"kind", "result"}, number(s.totals.repliesResult)}};
     }},
    {"tt_controller_api_dropped_messages_total",
     "Messages for an API server dropped because the API servers' queues were full.",
     MetricType::Counter,
     [](State s)
     { return perAPISession(s, [](auto const &session) { return session.droppedMessages; }); }},
    {"tt_controller_validations_dropped_total",
     "Validation requests not queued for the validator because the queue was full; they are "
     "asked again on the next connection.",
     MetricType::Counter, [](State s) { return one(number(s.totals.validationsDropped)); }},
    {"tt_controller_tests_received_total", "Test requests (\"execute\") accepted from API servers.",
     MetricType::Counter, [](State s) { return one(number(s.totals.testsReceived)); }},
    {"tt_controller_reports_dropped_total",
     "Disconnection reports dropped, oldest first, because the backlog was full.",
     MetricType::Counter, [](State s) { return one(number(s.totals.reportsDropped)); }},
    {"tt_controller_log_lines_dropped_total",
     "Log lines dropped because standard error did not take them within 100 ms.",
     MetricType::Counter, [](State s) { return one(number(s.totals.logLinesDropped)); }},
    {"tt_controller_metrics_connections_evicted_total",
     "Metrics endpoint connections closed before their request was complete, to make room for "
     "a new client.",
     MetricType::Counter, [](State s) { return one(number(s.totals.metricsConnectionsEvicted)); }},
    {"tt_controller_foreign_results_dropped_total",
     "Device results dropped because their request was running for another unit.",
     MetricType::Counter, [](State s) { return one(number(s.totals.foreignResultsDropped)); }},
    {"tt_controller_device_receive_budget_exhausted_total",
     "Device connections ended because their next bytes would have taken the partly received "
     "messages past the budget.",
     MetricType::Counter, [](State s) { return one(number(s.totals.receiveBudgetExhausted)); }},
    {"tt_controller_api_sessions",
     "Sessions to API servers, by state: registered, or connecting until the registration is "
     "written.",
     MetricType::Gauge,
     [](State s) -> Samples
     {
         auto const registered = s.registeredAPISessions();
         return {{{"state", "connecting"}, number(s.apiSessions.size() - registered)},
                 {{"state", "registered"}, number(registered)}};
     }},
    {"tt_controller_api_queued_bytes", "Bytes of messages waiting to be written to an API server.",
     MetricType::Gauge,
     [](State s)
     { return perAPISession(s, [](auto const &session) { return session.queuedBytes; }); }},
    {"tt_controller_device_connections", "Open device connections, validated or not.",
     MetricType::Gauge, [](State s) { return one(number(s.deviceConnections)); }},
    {"tt_controller_devices_online",
     "Devices admitted by the validator and connected: units in the registry.", MetricType::Gauge,
     [](State s) { return one(number(s.devicesOnline)); }},
    {"tt_controller_validations_pending",
     "Devices (unit id and MAC) waiting for the validator's answer.", MetricType::Gauge,
     [](State s) { return one(number(s.validationsPending)); }},
    {"tt_controller_validations_queued",
     "Validation requests waiting to be written to the validator.", MetricType::Gauge,
     [](State s) { return one(number(s.validationsQueued)); }},
    {"tt_controller_tests_running", "Test requests waiting for their last result.",
     MetricType::Gauge, [](State s) { return one(number(s.testsRunning)); }},
    {"tt_controller_validator_connected", "1 while the validator connection is open, else 0.",
     MetricType::Gauge, [](State s) { return one(s.validatorConnected ? 1 : 0); }},
    {"tt_controller_reports_backlog", "Disconnection reports kept until the validator is back.",
     MetricType::Gauge, [](State s) { return one(number(s.reportsBacklog)); }},
    {"tt_controller_device_receive_bytes",
     "Bytes of device messages received but not yet complete.", MetricType::Gauge,
     [](State s) { return one(number(s.receiveHeldBytes)); }},
    {"tt_controller_start_time_seconds",
     "Start time of the controller since the Unix epoch, in seconds.", MetricType::Gauge,
     [](State s)
     { return one(std::chrono::duration<double>(s.startTime.time_since_epoch()).count()); }},
};

prometheus::MetricFamily family(Declaration const &declaration, State state)
{
    prometheus::MetricFamily family{declaration.name, declaration.help, declaration.type, {}};
    for (auto const &[label, value] : declaration.read(state))
    {
        auto &metric = family.metric.emplace_back();
        if (!label.name.empty())
            metric.label.push_back(label);
        (declaration.type == MetricType::Counter ? metric.counter.value : metric.gauge.value) =
            value;
    }
    return family;
}

} // namespace

std::vector<prometheus::MetricFamily> metricFamilies(ControllerState const &state)
{
    std::vector<prometheus::MetricFamily> families;
    for (auto const &declaration : declarations)
        families.push_back(family(declaration, state));
    return families;
}

std::vector<prometheus::MetricFamily> ControllerMetrics::Collect() const
{
    return metricFamilies(state());
}

std::string expositionText(prometheus::Collectable const &metrics)
{
    return prometheus::TextSerializer().Serialize(metrics.Collect());
}

} // namespace kelvarin::triggerTesting
