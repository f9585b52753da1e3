#pragma once

#include "api/TestMetadata.hpp"
#include "common/HeldText.hpp"
#include "status/StatusHandOver.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// One request session as a reloading controller hands it to its next program. With a
// descriptor, its registered connection stays open across the exec and the next program goes on
// reading it where this one stopped; without one, only the queue goes over and the next program
// connects anew.
// A message as a session queues it: shared, so that a hand-over writes it without a copy.
using SharedText = std::shared_ptr<HeldText const>;

inline SharedText shareText(std::string text)
{
    return std::make_shared<HeldText const>(std::move(text));
}

struct APISessionHandOver
{
    std::string endpoint; // address:port, IPv6 addresses in brackets
    int descriptor = -1;
    std::string pending;            // bytes read from the server and not yet handled
    std::vector<SharedText> unsent; // messages for the server, oldest first
    std::uint64_t dropped = 0;      // messages the session dropped so far; it goes on from them
};

// A request a device runs, as the API side keeps it: its answer goes back to every server.
struct RunningRequestHandOver
{
    TestMetadata metadata;
    void const *deviceSession = nullptr; // the session that took it, once it has
};

// What the API side hands over: its request sessions, the running requests (named by their
// device sessions, in this program only) and what the validator connection owes.
struct APISideHandOver
{
    std::vector<APISessionHandOver> sessions;
    std::vector<RunningRequestHandOver> requests;
    StatusHandOver status;
};

} // namespace kelvarin::triggerTesting
