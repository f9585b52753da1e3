#include "app/admin/ControllerMetrics.hpp"

#include <prometheus/text_serializer.h>

#include <sstream>
#include <variant>

namespace kelvarin::triggerTesting
{

namespace
{

prometheus::Family<prometheus::Gauge> &gaugeFamily(prometheus::Registry &registry,
                                                   std::string const &name, std::string const &help)
{
    return prometheus::BuildGauge().Name(name).Help(help).Register(registry);
}

prometheus::Family<prometheus::Counter> &
counterFamily(prometheus::Registry &registry, std::string const &name, std::string const &help)
{
    return prometheus::BuildCounter().Name(name).Help(help).Register(registry);
}

prometheus::Gauge &gauge(prometheus::Registry &registry, std::string const &name,
                         std::string const &help)
{
    return gaugeFamily(registry, name, help).Add({});
}

prometheus::Counter &counter(prometheus::Registry &registry, std::string const &name,
                             std::string const &help)
{
    return counterFamily(registry, name, help).Add({});
}

double seconds(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

std::string addressAndPort(boost::asio::ip::tcp::endpoint const &endpoint)
{
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

// Brings a counter up to a total kept elsewhere.
void advance(prometheus::Counter &counter, std::uint64_t total)
{
    auto const value = static_cast<double>(total);
    if (value > counter.Value())
        counter.Increment(value - counter.Value());
}

bool sameSession(std::weak_ptr<void const> const &a, std::weak_ptr<void const> const &b)
{
    return !a.owner_before(b) && !b.owner_before(a);
}

} // namespace

ControllerMetrics::ControllerMetrics(std::chrono::system_clock::time_point startTime)
    : admissions(counterFamily(registry, "tt_controller_admissions_total",
                               "Validator answers told to devices still connected, by answer.")),
      disconnections(counterFamily(registry, "tt_controller_device_disconnections_total",
                                   "Disconnections of admitted devices reported to the "
                                   "validator, by reason.")),
      replies(counterFamily(registry, "tt_controller_replies_total",
                            "Result messages built for the API servers, by kind: a device's "
                            "result, an unreachable unit, or any other error.")),
      apiSessions(gaugeFamily(registry, "tt_controller_api_sessions",
                              "Sessions to API servers, by state: registered, or connecting "
                              "until the registration is written.")),
      apiQueuedBytes(gaugeFamily(registry, "tt_controller_api_queued_bytes",
                                 "Bytes of messages waiting to be written to an API server.")),
      apiDroppedMessages(counterFamily(registry, "tt_controller_api_dropped_messages_total",
                                       "Messages for an API server dropped because the API "
                                       "servers' queues were full.")),
      deviceConnections(gauge(registry, "tt_controller_device_connections",
                              "Open device connections, validated or not.")),
      devicesOnline(gauge(registry, "tt_controller_devices_online",
                          "Devices admitted by the validator and connected: units in the "
                          "registry.")),
      validationsPending(gauge(registry, "tt_controller_validations_pending",
                               "Devices (unit id and MAC) waiting for the validator's answer.")),
      validationsQueued(gauge(registry, "tt_controller_validations_queued",
                              "Validation requests waiting to be written to the validator.")),
      validationsDropped(counter(registry, "tt_controller_validations_dropped_total",
                                 "Validation requests not queued for the validator because "
                                 "the queue was full; they are asked again on the next "
                                 "connection.")),
      admissionsAccepted(admissions.Add({{"answer", "accepted"}})),
      admissionsRefused(admissions.Add({{"answer", "refused"}})),
      disconnectionsClean(disconnections.Add({{"reason", "clean"}})),
      disconnectionsTimeout(disconnections.Add({{"reason", "timeout"}})),
      testsReceived(counter(registry, "tt_controller_tests_received_total",
                            "Test requests (\"execute\") accepted from API servers.")),
      testsRunning(gauge(registry, "tt_controller_tests_running",
                         "Test requests waiting for their last result.")),
      repliesResult(replies.Add({{"kind", "result"}})),
      repliesUnreachable(replies.Add({{"kind", "unreachable"}})),
      repliesUnknown(replies.Add({{"kind", "unknown"}})),
      apiSessionsRegistered(apiSessions.Add({{"state", "registered"}})),
      apiSessionsConnecting(apiSessions.Add({{"state", "connecting"}})),
      validatorConnected(gauge(registry, "tt_controller_validator_connected",
                               "1 while the validator connection is open, else 0.")),
      reportsBacklog(gauge(registry, "tt_controller_reports_backlog",
                           "Disconnection reports kept until the validator is back.")),
      reportsDropped(counter(registry, "tt_controller_reports_dropped_total",
                             "Disconnection reports dropped, oldest first, because the backlog "
                             "was full.")),
      logLinesDropped(counter(registry, "tt_controller_log_lines_dropped_total",
                              "Log lines dropped because standard error did not take them "
                              "within 100 ms.")),
      metricsConnectionsEvicted(counter(registry, "tt_controller_metrics_connections_evicted_total",
                                        "Metrics endpoint connections closed before their "
                                        "request was complete, to make room for a new client.")),
      foreignResultsDropped(counter(registry, "tt_controller_foreign_results_dropped_total",
                                    "Device results dropped because their request was running "
                                    "for another unit.")),
      receiveHeldBytes(gauge(registry, "tt_controller_device_receive_bytes",
                             "Bytes of device messages received but not yet complete.")),
      receiveBudgetExhausted(counter(registry,
                                     "tt_controller_device_receive_budget_exhausted_total",
                                     "Device connections ended because their next bytes would "
                                     "have taken the partly received messages past the budget."))
{
    gauge(registry, "tt_controller_start_time_seconds",
          "Start time of the controller since the Unix epoch, in seconds.")
        .Set(seconds(startTime));
}

void ControllerMetrics::countDisconnection(disconnection_reason reason)
{
    (reason == timeout ? disconnectionsTimeout : disconnectionsClean).Increment();
}

void ControllerMetrics::countTestReceived()
{
    testsReceived.Increment();
}

void ControllerMetrics::countReply(Reply const &reply)
{
    auto const *error = std::get_if<Error>(&reply.payload);
    if (error == nullptr)
        repliesResult.Increment();
    else if (error->code == Error::UNREACHABLE)
        repliesUnreachable.Increment();
    else
        repliesUnknown.Increment();
}

void ControllerMetrics::setLogLinesDropped(std::uint64_t total)
{
    advance(logLinesDropped, total);
}

void ControllerMetrics::setMetricsConnectionsEvicted(std::uint64_t total)
{
    advance(metricsConnectionsEvicted, total);
}

std::string ControllerMetrics::expose(ControllerState const &state)
{
    deviceConnections.Set(static_cast<double>(state.deviceConnections));
    devicesOnline.Set(static_cast<double>(state.devicesOnline));
    validationsPending.Set(static_cast<double>(state.validationsPending));
    validationsQueued.Set(static_cast<double>(state.validationsQueued));
    advance(validationsDropped, state.validationsDropped);
    advance(admissionsAccepted, state.admissionsAccepted);
    advance(admissionsRefused, state.admissionsRefused);
    testsRunning.Set(static_cast<double>(state.testsRunning));
    auto const registered = state.registeredAPISessions();
    apiSessionsRegistered.Set(static_cast<double>(registered));
    apiSessionsConnecting.Set(static_cast<double>(state.apiSessions.size() - registered));
    validatorConnected.Set(state.validatorConnected ? 1 : 0);
    reportsBacklog.Set(static_cast<double>(state.reportsBacklog));
    advance(reportsDropped, state.reportsDropped);
    advance(foreignResultsDropped, state.foreignResultsDropped);
    receiveHeldBytes.Set(static_cast<double>(state.receiveHeldBytes));
    advance(receiveBudgetExhausted, state.receiveBudgetExhausted);
    updateAPISessions(state);
    return prometheus::TextSerializer().Serialize(registry.Collect());
}

void ControllerMetrics::updateAPISessions(ControllerState const &state)
{
    std::map<boost::asio::ip::tcp::endpoint, APISeries> current;
    for (auto const &session : state.apiSessions)
    {
        auto &series = current[session.endpoint];
        auto const previous = apiSeries.find(session.endpoint);
        if (previous != apiSeries.end() && sameSession(previous->second.identity, session.identity))
        {
            series = previous->second;
            apiSeries.erase(previous);
        }
        else
        {
            addAPISeries(series, session);
        }
        series.queuedBytes->Set(static_cast<double>(session.queuedBytes));
        advance(*series.droppedMessages, session.droppedMessages);
    }
    // What is left belongs to sessions that are gone: a new session at the same endpoint
    // counts from zero again, as a restarted process would.
    for (auto const &[endpoint, series] : apiSeries)
        removeAPISeries(series);
    apiSeries = std::move(current);
}

void ControllerMetrics::addAPISeries(APISeries &series,
                                     ControllerState::APISessionFigures const &session)
{
    prometheus::Labels const labels{{"endpoint", addressAndPort(session.endpoint)}};
    auto const previous = apiSeries.find(session.endpoint);
    if (previous != apiSeries.end())
    {
        removeAPISeries(previous->second);
        apiSeries.erase(previous);
    }
    series.identity = session.identity;
    series.queuedBytes = &apiQueuedBytes.Add(labels);
    series.droppedMessages = &apiDroppedMessages.Add(labels);
}

void ControllerMetrics::removeAPISeries(APISeries const &series)
{
    apiQueuedBytes.Remove(series.queuedBytes);
    apiDroppedMessages.Remove(series.droppedMessages);
}

} // namespace kelvarin::triggerTesting
