#include "api/ResultMessage.hpp"

#include "api/TestRequestJsonV1.hpp"
#include "support/Helpers.hpp"

#include <boost/uuid/string_generator.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

namespace kelvarin::triggerTesting
{
namespace
{

TestMetadata const metadata{
    boost::uuids::string_generator()("0123ABCD-4567-89EF-0123-456789ABCDEF"), 42, "tr\"ace", 9};
std::string const tail =
    R"("test_id":"0123abcd-4567-89ef-0123-456789abcdef","unit_id":42,"task":"tr\"ace","action_id":9})";

std::string build(Reply const &reply)
{
    return buildResultMessage(reply, metadata);
}

TEST(ResultMessageTest, AppendsTheMetadataToTheDeviceResultWrittenCompactly)
{
    auto const id = metadata.testId;
    EXPECT_EQ(build(Reply(id, Result(R"( {"b": [1, 2], "a":"x"} )", false))),
              R"({"type":"execute","data":{"b":[1,2],"a":"x",)" + tail + "}");
    // A byte order mark is skipped; a test_id of the device's own stays beside the real one.
    EXPECT_EQ(build(Reply(id, Result("\xEF\xBB\xBF{\"test_id\":\"mine\"}", true))),
              R"({"type":"execute","data":{"test_id":"mine",)" + tail + "}");
    auto const deepest = std::string(127, '[') + std::string(127, ']');
    EXPECT_EQ(build(Reply(id, Result(R"({"a":)" + deepest + "}", true))),
              R"({"type":"execute","data":{"a":)" + deepest + "," + tail + "}");
    TestMetadata const zero{{}, 18446744073709551615UL, "", 0};
    EXPECT_EQ(buildResultMessage(Reply(zero.testId, Result("{}", true)), zero),
              R"({"type":"execute","data":{"test_id":"00000000-0000-0000-0000-000000000000",)"
              R"("unit_id":18446744073709551615,"task":"","action_id":0}})");
}

TEST(ResultMessageTest, RefusesResultTextsThatAreNotObjectsNestedTooDeepOrBeyondADouble)
{
    auto const tooDeep = R"({"a":)" + std::string(128, '[') + std::string(128, ']') + "}";
    // A number beyond a double's range is refused rather than written as something else.
    for (std::string const &text :
         {std::string(), std::string("{"), std::string("{} {}"), std::string("[1]"),
          std::string("null"), tooDeep, std::string(R"({"a":[0,1e400]})")})
        EXPECT_EQ(testSupport::failureOf<std::runtime_error>(
                      [&] { build(Reply(metadata.testId, Result(text, true))); }),
                  "Invalid JSON")
            << text;
}

TEST(ResultMessageTest, WritesErrorsWithTheirCodes)
{
    auto const error = [](Error::Code code, std::string const &message)
    { return build(Reply(metadata.testId, Error(code, message))); };
    EXPECT_EQ(error(Error::UNREACHABLE, ""),
              R"({"type":"execute","data":{"status":"error","data":{"code":"UNREACHABLE",)"
              R"("message":""},)" +
                  tail + "}");
    EXPECT_EQ(error(static_cast<Error::Code>(7), "dup\n"),
              R"({"type":"execute","data":{"status":"error","data":{"code":"UNKNOWN",)"
              R"("message":"dup\n"},)" +
                  tail + "}");
}

} // namespace
} // namespace kelvarin::triggerTesting
