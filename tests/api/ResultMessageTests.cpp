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

// The text as RapidJSON's document and writer give it back compactly, or "" if it is not JSON.
std::string rewrittenByTheLibrary(std::string const &text)
{
    rapidjson::Document document;
    if (document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size()).HasParseError())
        return "";
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// Strings of every kind the texts may hold, as JSON source: plain runs, every escape, control
// and non-ASCII bytes, NUL both escaped and raw, and lengths past the buffers' first sizes.
std::string randomJsonString(std::mt19937 &random)
{
    using namespace std::string_view_literals;
    // Pieces that keep the string valid, then pieces that break it.
    static std::string_view const valid[] = {"a",
                                             "Z9",
                                             " ",
                                             "/",
                                             R"(\\)",
                                             R"(\")",
                                             R"(\/)",
                                             R"(\b\f\n\r\t)",
                                             R"(\u0000)",
                                             R"(\u00e9)",
                                             R"(\ud83d\ude00)",
                                             "\xC3\xA9",
                                             "\xE2\x82\xAC",
                                             "\x7F"};
    static std::string_view const breaking[] = {"\x01", "\t", "\"", R"(\x)", "\0"sv};
    constexpr std::string_view plainRun = "0123456789abcdef0123456789abcdef";
    std::string text = "\"";
    auto const count = std::uniform_int_distribution<int>(0, 20)(random);
    for (int i = 0; i < count; ++i)
    {
        auto const pick = std::uniform_int_distribution<std::size_t>(0, 999)(random);
        text += pick < 500 ? plainRun : pick < 997 ? valid[pick % 14] : breaking[pick % 5];
    }
    return text + "\"";
}

TEST(ResultMessageTest, StringsComeOutAsTheLibraryWritesThemWhateverTheyHold)
{
    std::mt19937 random(2026);
    int written = 0;
    for (int round = 0; round < 2000; ++round)
    {
        std::string members;
        for (int member = 0; member < 3; ++member)
            members +=
                (member ? "," : "") + randomJsonString(random) + ":" + randomJsonString(random);
        std::string const body = "{" + members + "}";
        auto const expected = rewrittenByTheLibrary(body);
        auto const result = testSupport::failureOf<std::runtime_error>(
            [&] { build(Reply(metadata.testId, Result(body, true))); });
        auto const request = testSupport::failureOf<std::runtime_error>(
            [&] { TestRequestJsonV1 parsed(R"({"type":"execute","data":)" + body + "}"); });
        if (expected.empty())
        {
            EXPECT_EQ(result, "Invalid JSON") << body;
            EXPECT_EQ(request, "Invalid JSON") << body;
            continue;
        }
        ++written;
        EXPECT_EQ(build(Reply(metadata.testId, Result(body, true))),
                  R"({"type":"execute","data":)" + expected.substr(0, expected.size() - 1) + "," +
                      tail + "}")
            << body;
        // A request's data, identifying members and all, is copied the same way.
        std::string const data =
            R"({"test_id":"0123abcd-4567-89ef-0123-456789abcdef","unit_id":1,"task":"t",)"
            R"("action_id":2,)" +
            members + "}";
        EXPECT_EQ(TestRequestJsonV1(R"({"type":"execute","data":)" + data + "}").getData(),
                  rewrittenByTheLibrary(data))
            << body;
    }
    // Both kinds occurred.
    EXPECT_GT(written, 200);
    EXPECT_LT(written, 1800);
}

TEST(ReplyTest, IsLastForErrorsAndLastResults)
{
    boost::uuids::uuid const id{};
    EXPECT_TRUE(Reply(id, Error(Error::UNKNOWN, "")).isLast());
    EXPECT_TRUE(Reply(id, Result("{}", true)).isLast());
    EXPECT_FALSE(Reply(id, Result("{}", false)).isLast());
}

} // namespace
} // namespace kelvarin::triggerTesting
