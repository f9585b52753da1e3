#pragma once

#include "sim/Misbehaviour.hpp"
#include "status/EtherAddr.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelvarin::triggerTesting::sim
{

// What the operator writes on the simulator's command line, turned into values. Every parser
// throws std::invalid_argument with a text that names the offending input.

// "101-105,200" gives 101, 102, 103, 104, 105, 200, in that order; duplicates are refused.
std::vector<std::uint64_t> parseUnitIds(std::string const &text);

// 12 hexadecimal digits, or six pairs separated by ':' or '-' (00:1a:2b:3c:4d:5e).
EtherAddr parseMacAddress(std::string const &text);

// A comma-separated list of MAC addresses.
std::vector<EtherAddr> parseMacList(std::string const &text);

// "127.0.0.2:10002" or "[::1]:10002".
boost::asio::ip::tcp::endpoint parseEndpoint(std::string const &text);

// "104=drop" or "104=silent:3": the unit, the way it misbehaves and how many run messages it
// answers properly first (0 when not given). Modes: drop, silent, malformed, oversized.
std::pair<std::uint64_t, Misbehaviour> parseMisbehaviour(std::string const &text);

// The MAC a simulated device uses when none is given: a locally administered address
// 02:00 followed by the low 32 bits of the unit id, so that lists of both stay in step.
EtherAddr defaultMacFor(std::uint64_t unitId);

} // namespace kelvarin::triggerTesting::sim
