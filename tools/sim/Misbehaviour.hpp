#pragma once

#include <cstdint>

namespace kelvarin::triggerTesting::sim
{

// How a simulated device deviates from the protocol once it has answered `after` run
// messages properly.
struct Misbehaviour
{
    enum class Mode
    {
        none,
        drop,      // closes its TCP connection on the next run message, without a result
        silent,    // stays connected and answers no further run message
        malformed, // answers the next run message with bytes that are no result message
        oversized, // answers the next run message with a result above the 16 MiB a peer reads
    };

    Mode mode = Mode::none;
    std::uint64_t after = 0;
};

} // namespace kelvarin::triggerTesting::sim
