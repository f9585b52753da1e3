#include "api/JsonTriggerDocument.hpp"

#include "support/Helpers.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using testSupport::errorOf;
using testSupport::nestedArrays;

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

} // namespace
} // namespace kelvarin::triggerTesting
