#pragma once

#include "api/ITestRequest.hpp"
#include "api/TestMetadata.hpp"

#include <string>
#include <string_view>

namespace kelvarin::triggerTesting
{

// A test request built from one "execute" message.
class TestRequestJsonV1 : public ITestRequest
{
public:
    explicit TestRequestJsonV1(std::string text);
    // The same from a text that stays where it is, read without a copy.
    explicit TestRequestJsonV1(std::string_view text);

    boost::uuids::uuid const &getId() const override { return metadata.testId; }
    unsigned long const &getProbeId() const override { return metadata.unitId; }
    std::string &getData() override { return data; }
    TestMetadata const &getMetadata() const override { return metadata; }

private:
    std::string data; // the "data" object, written out again as compact JSON
    TestMetadata metadata;
};

} // namespace kelvarin::triggerTesting
