#include "api/TestRequestJsonV1.hpp"

#include "support/Helpers.hpp"

#include <boost/uuid/string_generator.hpp>

#include <gtest/gtest.h>

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

} // namespace
} // namespace kelvarin::triggerTesting
