#pragma once

#include "app/MetricsOptions.hpp"

#include <chrono>
#include <iosfwd>
#include <string>

namespace kelvarin::triggerTesting
{

// The command line's questions to a running controller, on the metrics endpoint its
// configuration names: one GET, its JSON answer pretty-printed on `out`. Each returns the exit
// status: 0 with the answer printed; 1 with one line on `err` when there is no endpoint, the
// controller cannot be reached within the timeout or answers otherwise; 2 (showDevice) when no
// connection is registered with the unit.
class OperatorClient
{
public:
    static constexpr std::chrono::seconds defaultTimeout{5};

    OperatorClient(MetricsOptions const &options, std::ostream &out, std::ostream &err,
                   std::chrono::steady_clock::duration timeout = defaultTimeout);

    int showDevice(std::string const &unit);
    int showStatus();

private:
    struct Answer
    {
        unsigned status = 0;
        std::string body;
    };

    int show(std::string const &target, bool notFoundIsAnAnswer);
    Answer ask(std::string const &target);

    MetricsOptions const &options;
    std::ostream &out;
    std::ostream &err;
    std::chrono::steady_clock::duration timeout;
};

} // namespace kelvarin::triggerTesting
