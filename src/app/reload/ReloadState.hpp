#pragma once

#include "api/APISessionHandOver.hpp"
#include "api/TestMetadata.hpp"
#include "device/DeviceHandOver.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace kelvarin::triggerTesting
{

// Everything one program of the controller hands to the next when it reloads: the descriptors
// it keeps open across the exec and what it holds for them. Texts are kept byte for byte.
struct ReloadState
{
    // Raised whenever a reader of an older layout would misread a newer one. A program reads
    // every version from the oldest it names, so that it can take over from its predecessor.
    static constexpr std::uint32_t formatVersion = 2;
    static constexpr std::uint32_t oldestFormatVersion = 1;

    using Device = DeviceHandOver;

    // The sessions' records name the device of a run, and the askers of a validation, by its
    // record's index in `devices`.
    struct RunningRequest
    {
        TestMetadata metadata;    // its id goes as the uuid's 36-character text
        std::int64_t device = -1; // the index of the device that took it, -1 for none
    };

    using ApiQueue = APISessionHandOver;

    struct PendingValidation
    {
        std::uint64_t unitId = 0;
        std::string mac;                   // six octets
        std::vector<std::uint32_t> askers; // indexes into devices
    };

    using Listener = ListenerHandOver;

    std::string configuration; // the text of the configuration the program ran on
    std::vector<Listener> listeners;
    std::vector<Device> devices;
    std::vector<RunningRequest> requests;
    std::vector<ApiQueue> apiQueues;
    std::vector<PendingValidation> validations;
    std::vector<std::string> reports;
    // The metrics' totals by name, so that the next program's counters go on from them.
    std::vector<std::pair<std::string, std::uint64_t>> counters;
};

std::string encodeReloadState(ReloadState const &state);
// The same text, written to the descriptor as it is made.
std::error_code writeReloadState(ReloadState const &state, int descriptor);
// Throws std::runtime_error naming what is wrong when the text is not a state of a format version
// this program reads, or is damaged; never reads outside the text.
ReloadState decodeReloadState(std::string text);
class InheritedStateFile;
// The same, parsed in place in `size` bytes at `text`, which the reader may write; text[size]
// must be 0. With the file the text is mapped from (whole, from its start), the large texts of
// the running requests and the API queues are mapped out of it instead of copied.
ReloadState decodeReloadState(char *text, std::size_t size, InheritedStateFile *file = nullptr);

} // namespace kelvarin::triggerTesting
