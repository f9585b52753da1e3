#pragma once

#include "app/ControllerState.hpp"
#include "device/DeviceConnectionView.hpp"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarin::triggerTesting
{

// The JSON texts of the operators' lookups, written with RapidJSON's writer: members in a fixed
// order, no white space, every character above 0x7f written as \uXXXX. Times are UTC in whole
// seconds (2026-12-08T09:00:00Z), MACs 12 upper-case hexadecimal digits, endpoints
// address:port as the log writes them.

// The most of a client's text that an error message repeats.
constexpr std::size_t quotedTextLimit = 64;

// {"unit_id":..,"online":..,"connections":[{"state":..,"mac":..,"peer":..,"connected_at":..,
// "registered_at":..,"admitted_at":..,"tests_running":..,"queued_bytes":..},...]}
std::string deviceJson(unsigned long unitId, bool online,
                       std::vector<DeviceConnectionView> const &connections);
// {"devices":[{"unit_id":..,"state":..,"mac":..,"peer":..,"connected_at":..},...],"next":..}
std::string devicePageJson(DevicePage const &page);
// {"version":..,"started_at":..,"devices_online":..,"device_connections":..,
// "validations_pending":..,"tests_running":..,"reports_backlog":..,
// "validator":{"endpoint":..,"connected":..},"api_sessions":[{"endpoint":..,"state":..,
// "queued_bytes":..,"dropped_messages":..},...]}
std::string statusJson(ControllerState const &state, std::string_view version);
// {"error":"<message>"}
std::string errorJson(std::string_view message);

// A client's text as an error message may quote it: its first quotedTextLimit bytes, a
// character cut there or a byte that is no UTF-8 becoming U+FFFD.
std::string quotedText(std::string_view text);

} // namespace kelvarin::triggerTesting
