#include "api/APISessionMessages.hpp"
#include "api/IsOnlineJson.hpp"
#include "api/JsonTriggerDocument.hpp"
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
#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using testSupport::errorOf;
using testSupport::nestedArrays;

std::string const canonicalId = "0123abcd-4567-89ef-0123-456789abcdef";

std::string execute(std::string const &testId, std::string const &unitId = "1234",
                    std::string const &extra = "")
{
    return R"({"type":"execute","data":{"test_id":")" + testId + R"(","unit_id":)" + unitId +
           R"(,"task":"ping","action_id":7)" + extra + "}}";
}

TEST(TestRequestJsonV1Test, ReadsMetadataAndKeepsTheWholeDataInOrder)
{
    // The root object and "data" are two levels of the 128 allowed.
    std::string const deepest = nestedArrays(126, "1");
    TestRequestJsonV1 request(
        execute(canonicalId, "18446744073709551615",
                R"(,"zeta":{"a": [1, 2.5]},"alpha":"\u00e9","deep":)" + deepest));
    EXPECT_EQ(request.getId(), boost::uuids::string_generator()(canonicalId));
    EXPECT_EQ(request.getProbeId(), 18446744073709551615UL);
    EXPECT_EQ(request.getMetadata().task, "ping");
    EXPECT_EQ(request.getMetadata().actionId, 7U);
    EXPECT_EQ(request.getData(),
              R"({"test_id":")" + canonicalId +
                  R"(","unit_id":18446744073709551615,"task":"ping","action_id":7,)"
                  "\"zeta\":{\"a\":[1,2.5]},\"alpha\":\"\xC3\xA9\",\"deep\":" +
                  deepest + "}");
    TestRequestJsonV1 const nul(R"({"type":"execute","data":{"test_id":")" + canonicalId +
                                R"(","unit_id":1,"task":"ab\u0000cd","action_id":0}})");
    EXPECT_EQ(nul.getMetadata().task, "ab");
}

TEST(TestRequestJsonV1Test, AcceptsUuidFormsAndRefusesOthers)
{
    auto const expected = boost::uuids::string_generator()(canonicalId);
    for (std::string const form :
         {"0123ABCD-4567-89EF-0123-456789ABCDEF", "{0123abcd-4567-89ef-0123-456789abcdef}",
          "0123abcd456789ef0123456789abcdef"})
        EXPECT_EQ(TestRequestJsonV1(execute(form)).getId(), expected) << form;
    for (std::string const &form : {std::string("0123abcd-456789ef-0123-456789abcdef"),
                                    canonicalId + "0", "{" + canonicalId, std::string()})
        EXPECT_EQ(errorOf<TestRequestJsonV1>(execute(form)), "invalid uuid string") << form;
}

TEST(TestRequestJsonV1Test, RefusesWrongTypesAndInvalidMembers)
{
    std::string const id = R"({"type":"execute","data":{"test_id":")" + canonicalId;
    std::pair<std::string, std::string> const cases[] = {
        {R"({"type":"Execute","data":{}})", "Bad request"},
        {"[]", "Invalid message"},
        {execute(canonicalId, "1234", R"(,"deep":)" + nestedArrays(127, "1")), "Invalid JSON"},
        {nestedArrays(1000000), "Invalid JSON"},
        {R"({"type":"execute","data":{"unit_id":1}})", R"(There is no valid "test_id")"},
        {id + R"(","unit_id":1}})", R"(There is no valid "task")"},
        {id + R"(","unit_id":1,"task":"t","action_id":-2}})", R"(There is no valid "action_id")"},
    };
    for (auto const &[text, error] : cases)
        EXPECT_EQ(errorOf<TestRequestJsonV1>(text), error) << text.substr(0, 80);
    for (std::string const unitId : {R"("1234")", "1234.0", "-1", "null"})
        EXPECT_EQ(errorOf<TestRequestJsonV1>(execute(canonicalId, unitId)),
                  R"(There is no valid "unit_id")")
            << unitId;
}

// The first "type" and the first "data" of the envelope count, and only members directly inside
// that "data" object identify the request; the device gets the object as it came, repeats and
// nested look-alikes included.
TEST(TestRequestJsonV1Test, FirstEnvelopeMembersAndDirectDataMembersCount)
{
    std::string const ids =
        R"("test_id":")" + canonicalId + R"(","unit_id":5,"task":"t","action_id":1)";
    std::string const data =
        R"({"nested":{"unit_id":"x","type":"y"},)" + ids + R"(,"unit_id":6,"data":{"task":7}})";
    TestRequestJsonV1 request(R"({"x":{"type":"bad","data":{}},"type":"execute",)"
                              R"("type":"other","data":)" +
                              data + R"(,"data":{"a":1}})");
    EXPECT_EQ(request.getProbeId(), 5U);
    EXPECT_EQ(request.getMetadata().task, "t");
    EXPECT_EQ(request.getData(), data);
    EXPECT_EQ(errorOf<TestRequestJsonV1>(R"({"data":5,"type":"execute","data":{)" + ids + "}}"),
              R"(There is no valid "data")");
    EXPECT_EQ(errorOf<TestRequestJsonV1>(R"({"type":1,"type":"execute","data":{)" + ids + "}}"),
              R"(There is no valid "type")");
}

TEST(JsonTriggerDocumentTest, RefusesBrokenEnvelopesWithTheirTexts)
{
    std::pair<std::string, std::string> const cases[] = {
        {"  \n", "Invalid JSON"},
        {R"({"type":"x","data":{}} x)", "Invalid JSON"},
        {"\xEF\xBB\xBF{\"type\":\"x\",\"data\":{}}", "Invalid JSON"},
        {R"({"type":"x","data":{"deep":)" + nestedArrays(127) + "}}", "Invalid JSON"},
        {R"([{"type":"x","data":{}}])", "Invalid message"},
        {R"({"type":5,"data":{}})", R"(There is no valid "type")"},
        {R"({"type":"x","data":[]})", R"(There is no valid "data")"},
    };
    for (auto const &[text, error] : cases)
        EXPECT_EQ(errorOf<JsonTriggerDocument>(text), error) << text;
}

TEST(JsonTriggerDocumentTest, NulByteEndsTheTextAndTheFirstDuplicateCounts)
{
    JsonTriggerDocument const document(std::string(R"({"type":"a","type":"b","data":{"k":1}})") +
                                       '\0' + "garbage");
    EXPECT_EQ(document.type, "a");
    EXPECT_EQ((*document.data)["k"].GetInt(), 1);
}

TEST(IsOnlineJsonTest, ReadsTheUnitIdAndRefusesOtherTypes)
{
    EXPECT_EQ(IsOnlineJson(R"({"type":"isOnline","data":{"x":[],"unit_id":42}})").unitId, 42U);
    EXPECT_EQ(errorOf<IsOnlineJson>(R"({"type":"isonline","data":{"unit_id":42}})"), "Bad request");
    EXPECT_EQ(errorOf<IsOnlineJson>(R"({"type":"isOnline","data":{"unit_id":"42"}})"),
              R"(There is no valid "unit_id")");
    EXPECT_EQ(errorOf<IsOnlineJson>(nestedArrays(1000000).substr(0, 1000000)), "Invalid JSON");
}

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
          std::string("null"), tooDeep, "{\"a\":" + nestedArrays(1000000) + "}",
          std::string(R"({"a":[0,1e400]})")})
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

TEST(APISessionMessagesTest, RegistrationQuotesTheHostNameAndAnswersNameTheUnit)
{
    EXPECT_EQ(buildRegistrationMessage("a\"b\\c"),
              "{\"type\":\"register\",\"data\":{\"name\":\"a\\\"b\\\\c\"}}");
    EXPECT_EQ(buildIsOnlineAnswer(18446744073709551615UL, false),
              "{\"type\":\"isOnline\",\"data\":{\"unit_id\":18446744073709551615,"
              "\"result\":false}}");
}

} // namespace
} // namespace kelvarin::triggerTesting
