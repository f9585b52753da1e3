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

// The modes a device can be given, in the order the command line's help names them.
constexpr Misbehaviour::Mode misbehaviourModes[] = {
    Misbehaviour::Mode::drop, Misbehaviour::Mode::silent, Misbehaviour::Mode::malformed,
    Misbehaviour::Mode::oversized};

// The mode's name, as the command line takes it and the event record shows it.
constexpr char const *modeName(Misbehaviour::Mode mode)
{
    switch (mode)
    {
    case Misbehaviour::Mode::drop:
        return "drop";
    case Misbehaviour::Mode::silent:
        return "silent";
    case Misbehaviour::Mode::malformed:
        return "malformed";
    case Misbehaviour::Mode::oversized:
        return "oversized";
    default:
        return "none";
    }
}

} // namespace kelvarin::triggerTesting::sim
