#pragma once

#include "api/TestMetadata.hpp"

#include <boost/uuid/uuid.hpp>

#include <string>

namespace kelvarin::triggerTesting
{

// A test request as the device side consumes it.
class ITestRequest
{
public:
    virtual ~ITestRequest() = default;
    virtual boost::uuids::uuid const &getId() const = 0;
    virtual unsigned long const &getProbeId() const = 0;
    virtual std::string &getData() = 0;
    // The identifying fields, which the API side keeps while the request runs.
    virtual TestMetadata const &getMetadata() const = 0;
};

} // namespace kelvarin::triggerTesting
