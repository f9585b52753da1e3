#pragma once

#include "app/reload/InheritedStateFile.hpp"
#include "app/reload/ReloadState.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
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

// What a new program opens of its own beyond what it inherits, with room to spare: its event
// loop's descriptors, the signal pipe, the resolver's, the log's, the metrics listener, the
// socket pair a stand-in peer uses while a connection is taken over.
inline constexpr std::uint64_t ownDescriptorsOfANewProgram = 64;

// Why a new program could not take over under the descriptor limit, with `open` descriptors
// handed to it; an empty text when it can. The limit may have been lowered while the process
// ran: every connection it holds would then be lost in the new program's start.
std::string descriptorShortfall(std::uint64_t open, std::uint64_t limit);
// The same for this process now, its soft limit and what it has open.
std::string descriptorShortfall();

// The state a predecessor handed over, if this program was started by a reload; the memory file
// is closed and the variable removed, so that a later reload starts clean. Throws when a
// variable is there but its descriptor cannot be read, or the state is damaged. With `memory`,
// the memory file of a state read is left open instead, put there for releaseStateFile(), and
// the large texts the state carries stay in it, mapped.
std::optional<ReloadState>
takeInheritedState(std::shared_ptr<InheritedStateFile> *memory = nullptr);

// Gives back the pages of the memory file a state was read from a slice at a time, between the
// loop's other handlers: given back at once, they would stop the loop about as long as writing
// them stopped the previous program's. The file closes with the last text mapped from it.
void releaseStateFile(boost::asio::io_context &io, std::shared_ptr<InheritedStateFile> memory);

// Throws "damaged state: ..." unless every descriptor the state names is a socket this program
// inherited, above standard error, named once: a damaged state must not make a session of
// standard error, nor two sessions of one connection.
void checkInheritedDescriptors(ReloadState const &state);

// For a state that cannot be read: the inherited TCP sockets are looked at one by one; listening
// ones are kept, as the listeners of an otherwise empty state, and the others closed.
struct RecoveredState
{
    ReloadState state;
    std::size_t closedConnections = 0;
};
RecoveredState recoverInheritedListeners();

} // namespace kelvarin::triggerTesting
