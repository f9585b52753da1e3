#pragma once

#include "sim/SimApiServer.hpp"
#include "sim/SimFleet.hpp"
#include "sim/ValidationPolicy.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::sim
{

// The simulator's command line: a role, then the options of that role.
//   tt_simulator api --listen 127.0.0.2:10002 [--listen ...] --units 101-105 [--rate 2] ...
//   tt_simulator validator --listen 127.0.0.4:10002 [--accept-units LIST] [--accept-macs LIST]
//   tt_simulator devices --controller 127.0.0.1:PORT [--count N] [--units LIST] ...
struct SimCommandLine
{
    enum class Role
    {
        api,
        validator,
        devices,
    };

    Role role = Role::api;
    bool help = false;
    std::string helpText;
    std::chrono::milliseconds duration{0}; // 0: until SIGINT or SIGTERM
    bool json = false;                     // the summary also as one JSON line
    bool quiet = false;                    // no line per event, only the summary
    std::string record;                    // file for one JSON line per event; empty: none

    std::vector<boost::asio::ip::tcp::endpoint> listen; // api: one or more; validator: one
    SimApiServer::Settings api;
    ValidationPolicy policy;
    SimFleet::Settings fleet;

    // Throws std::exception with a text for the operator on every mistake.
    static SimCommandLine parse(int argc, char const *const argv[]);
    static std::string usage();
};

} // namespace kelvarin::triggerTesting::sim
