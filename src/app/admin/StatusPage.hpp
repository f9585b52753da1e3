#pragma once

#include <memory>
#include <string>

namespace kelvarin::triggerTesting
{

// The operators' page at /: one HTML text with its style and script inside, nothing fetched
// from anywhere but the endpoint itself. The script polls /status.json and /metrics every 5
// seconds, draws the last 15 minutes of devices online and tests received from its own polls,
// and looks a unit up at /devices/<unit id>. Every text that came from a peer is set as text
// (textContent), never parsed as HTML.
std::shared_ptr<std::string const> statusPage();

// The policy the page is served with: it may load nothing and talk to nothing but its origin.
constexpr char const *statusPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'";

} // namespace kelvarin::triggerTesting
