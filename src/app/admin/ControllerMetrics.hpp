#pragma once

#include "api/Reply.hpp"
#include "app/ControllerState.hpp"
#include "status/DisconnectionReason.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace kelvarin::triggerTesting
{

// The controller's Prometheus metrics. Counters go up where their events happen; gauges, and
// the counts that the device side and the API sessions keep themselves, are taken from a
// ControllerState when a scrape asks for the exposition.
class ControllerMetrics
{
public:
    explicit ControllerMetrics(
        std::chrono::system_clock::time_point startTime = std::chrono::system_clock::now());
    // The metrics refer into the registry.
    ControllerMetrics(ControllerMetrics const &) = delete;
    ControllerMetrics &operator=(ControllerMetrics const &) = delete;

    void countDisconnection(disconnection_reason reason);
    void countTestReceived();
    void countReply(Reply const &reply);
    // Brings the counters of what the process around the controller drops up to their totals:
    // log lines standard error did not take, metrics clients closed for newer ones.
    void setLogLinesDropped(std::uint64_t total);
    void setMetricsConnectionsEvicted(std::uint64_t total);

    // The text exposition format, version 0.0.4, with the gauges set from the state.
    std::string expose(ControllerState const &state);

private:
    struct APISeries
    {
        std::weak_ptr<void const> identity;
        prometheus::Gauge *queuedBytes = nullptr;
        prometheus::Counter *droppedMessages = nullptr;
    };

    void updateAPISessions(ControllerState const &state);
    void addAPISeries(APISeries &series, ControllerState::APISessionFigures const &session);
    void removeAPISeries(APISeries const &series);

    prometheus::Registry registry;

    // Families with labels come first: their series are made from them.
    prometheus::Family<prometheus::Counter> &admissions;
    prometheus::Family<prometheus::Counter> &disconnections;
    prometheus::Family<prometheus::Counter> &replies;
    prometheus::Family<prometheus::Gauge> &apiSessions;
    prometheus::Family<prometheus::Gauge> &apiQueuedBytes;
    prometheus::Family<prometheus::Counter> &apiDroppedMessages;

    prometheus::Gauge &deviceConnections;
    prometheus::Gauge &devicesOnline;
    prometheus::Gauge &validationsPending;
    prometheus::Gauge &validationsQueued;
    prometheus::Counter &validationsDropped;
    prometheus::Counter &admissionsAccepted;
    prometheus::Counter &admissionsRefused;
    prometheus::Counter &disconnectionsClean;
    prometheus::Counter &disconnectionsTimeout;
    prometheus::Counter &testsReceived;
    prometheus::Gauge &testsRunning;
    prometheus::Counter &repliesResult;
    prometheus::Counter &repliesUnreachable;
    prometheus::Counter &repliesUnknown;
    prometheus::Gauge &apiSessionsRegistered;
    prometheus::Gauge &apiSessionsConnecting;
    prometheus::Gauge &validatorConnected;
    prometheus::Gauge &reportsBacklog;
    prometheus::Counter &reportsDropped;
    prometheus::Counter &logLinesDropped;
    prometheus::Counter &metricsConnectionsEvicted;
    prometheus::Counter &foreignResultsDropped;
    prometheus::Gauge &receiveHeldBytes;
    prometheus::Counter &receiveBudgetExhausted;

    // One pair of series per API session, as long as its endpoint is in the pool.
    std::map<boost::asio::ip::tcp::endpoint, APISeries> apiSeries;
};

} // namespace kelvarin::triggerTesting
