#pragma once

#include "app/ControllerState.hpp"

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// The controller's Prometheus metrics, read from a ControllerState taken when a scrape asks for
// them. Nothing is kept here: the state holds every figure and total, so the metrics say what
// the controller holds and a reload cannot set them back.
class ControllerMetrics : public prometheus::Collectable
{
public:
    using StateFn = std::function<ControllerState()>;

    explicit ControllerMetrics(StateFn state) : state(std::move(state)) {}

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    StateFn state;
};

// The families of one state, in the order they are exposed.
std::vector<prometheus::MetricFamily> metricFamilies(ControllerState const &state);
// The text exposition format, version 0.0.4.
std::string expositionText(prometheus::Collectable const &metrics);

} // namespace kelvarin::triggerTesting
