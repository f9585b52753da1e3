#pragma once

#include "app/reload/ReloadState.hpp"

#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace kelvarin::triggerTesting
{

// The environment variable that tells a new program of the controller which inherited
// descriptor holds the state its predecessor handed over.
inline constexpr char const *reloadStateVariable = "TT_CONTROLLER_RELOAD_STATE_FD";

// The path the program was started from, made absolute, so that a reload executes whatever is
// installed there now (an upgraded binary), not the image this process was made from.
std::string startedProgramPath(char const *argv0);

// Replaces the program of this process with the one at `path`, same arguments, the memory file
// that holds the state and `kept` inherited across the exec; every other descriptor but standard
// input, output and error is closed by the exec. Returns only on failure, with every descriptor
// open as it was.
std::error_code replaceProgram(std::string const &path, char *const argv[], int memory,
                               std::vector<int> const &kept);

// The state a predecessor handed over, if this program was started by a reload; the memory file
// is closed and the variable removed, so that a later reload starts clean. Throws when a
// variable is there but its descriptor cannot be read.
std::optional<std::string> takeInheritedState();

// For a state that cannot be read: the inherited TCP sockets are looked at one by one; listening
// ones are kept, as the listeners of an otherwise empty state, and the others closed.
struct RecoveredState
{
    ReloadState state;
    std::size_t closedConnections = 0;
};
RecoveredState recoverInheritedListeners();

} // namespace kelvarin::triggerTesting
