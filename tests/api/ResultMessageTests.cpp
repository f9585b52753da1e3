#include "api/ResultMessage.hpp"
#include "support/FailureText.hpp"

#include <boost/uuid/string_generator.hpp>

#include <gtest/gtest.h>
#include <stdexcept>

namespace kelvarin::triggerTesting
{
namespace
{

TestMetadata metadata()
{
    TestMetadata m;
    m.testId = boost::uuids::string_generator()("0123ABCD-4567-89EF-0123-456789ABCDEF");
    m.unitId = 42;
    m.task = "tr\"ace";
    m.actionId = 9;
    return m;
}

std::string const tail =
    R"("test_id":"0123abcd-4567-89ef-0123-456789abcdef","unit_id":42,"task":"tr\"ace","action_id":9})";

TEST(ResultMessageTest, AppendsMetadataToTheDeviceResult)
{
    Reply const reply(metadata().testId, Result(R"( {"b": [1, 2], "a":"x"} )", false));
    EXPECT_EQ(buildResultMessage(reply, metadata()),
              R"({"type":"execute","data":{"b":[1,2],"a":"x",)" + tail + "}");
}

TEST(ResultMessageTest, SkipsByteOrderMarkAndKeepsDuplicateTestId)
{
    Reply const reply(metadata().testId, Result("\xEF\xBB\xBF{\"test_id\":\"mine\"}", true));
    EXPECT_EQ(buildResultMessage(reply, metadata()),
              R"({"type":"execute","data":{"test_id":"mine",)" + tail + "}");
}

TEST(ResultMessageTest, RefusesResultTextsThatAreNotObjects)
{
    for (std::string const text : {"", "{", "{} {}", "[1]", "3", R"("s")", "null"})
    {
        Reply const reply(metadata().testId, Result(text, true));
        try
        {
            buildResultMessage(reply, metadata());
            ADD_FAILURE() << "accepted " << text;
        }
        catch (std::runtime_error const &error)
        {
            EXPECT_STREQ(error.what(), "Invalid JSON") << text;
        }
    }
}

TEST(ResultMessageTest, WritesErrors)
{
    auto const id = metadata().testId;
    EXPECT_EQ(buildResultMessage(Reply(id, Error(Error::UNREACHABLE, "")), metadata()),
              R"({"type":"execute","data":{"status":"error","data":{"code":"UNREACHABLE",)"
              R"("message":""},)" +
                  tail + "}");
    EXPECT_EQ(buildResultMessage(Reply(id, Error(Error::UNKNOWN, "dup\n")), metadata()),
              R"({"type":"execute","data":{"status":"error","data":{"code":"UNKNOWN",)"
              R"("message":"dup\n"},)" +
                  tail + "}");
    EXPECT_EQ(buildResultMessage(Reply(id, Error(static_cast<Error::Code>(7), "x")), metadata()),
              R"({"type":"execute","data":{"status":"error","data":{"code":"UNKNOWN",)"
              R"("message":"x"},)" +
                  tail + "}");
}

TEST(ResultMessageTest, WritesZeroUuidAndLargestUnitId)
{
    TestMetadata const m{{}, 18446744073709551615UL, "", 0};
    EXPECT_EQ(buildResultMessage(Reply(m.testId, Result("{}", true)), m),
              R"({"type":"execute","data":{"test_id":"00000000-0000-0000-0000-000000000000",)"
              R"("unit_id":18446744073709551615,"task":"","action_id":0}})");
}

TEST(ReplyTest, IsLastForErrorsAndLastResults)
{
    boost::uuids::uuid const id{};
    EXPECT_TRUE(Reply(id, Error(Error::UNKNOWN, "")).isLast());
    EXPECT_TRUE(Reply(id, Result("{}", true)).isLast());
    EXPECT_FALSE(Reply(id, Result("{}", false)).isLast());
}

TEST(ResultMessageTest, ResultsNestedDeeperThan128LevelsAreInvalidJson)
{
    auto const withArrays = [](std::size_t levels)
    { return R"({"a":)" + std::string(levels, '[') + std::string(levels, ']') + "}"; };
    Reply const deepest(metadata().testId, Result(withArrays(127), true));
    EXPECT_EQ(buildResultMessage(deepest, metadata()),
              R"({"type":"execute","data":{"a":)" + std::string(127, '[') + std::string(127, ']') +
                  "," + tail + "}");
    for (std::size_t levels : {128, 1000000})
    {
        Reply const tooDeep(metadata().testId, Result(withArrays(levels), true));
        EXPECT_EQ(testSupport::failureOf<std::runtime_error>(
                      [&] { buildResultMessage(tooDeep, metadata()); }),
                  "Invalid JSON")
            << levels;
    }
}

} // namespace
} // namespace kelvarin::triggerTesting
