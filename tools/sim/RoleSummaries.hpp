#pragma once

#include "sim/SimApiServer.hpp"
#include "sim/SimDevice.hpp"
#include "sim/SimValidator.hpp"
#include "sim/Summary.hpp"

#include <vector>

namespace kelvarin::triggerTesting::sim
{

// The end-of-run summary of each role; the API servers of one process are added up.
Summary summarizeApiServers(std::vector<SimApiServer::Stats> const &servers);
Summary summarizeValidator(SimValidator::Stats const &validator);
Summary summarizeDevices(SimDevice::Stats const &devices);

} // namespace kelvarin::triggerTesting::sim
