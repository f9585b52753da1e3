#include "common/JsonTextStream.hpp"

#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kelvarin::triggerTesting
{
namespace
{

std::size_t markSkipped(std::string const &text)
{
    JsonTextStream stream(text);
    stream.skipByteOrderMark();
    return stream.Tell();
}

// What result texts were read after before: one whole mark taken off, then the library's UTF-8
// input stream made on the rest for the bytes its constructor passes over.
std::size_t markSkippedByTheLibrary(std::string const &text)
{
    std::string_view rest = text;
    if (rest.starts_with("\xEF\xBB\xBF"))
        rest.remove_prefix(3);
    rapidjson::MemoryStream stream(rest.data(), rest.size());
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> skipping(stream);
    return text.size() - rest.size() + stream.Tell();
}

TEST(JsonTextStreamTest, SkipsAByteOrderMarkAsTheLibrarysUtf8StreamDid)
{
    EXPECT_EQ(markSkipped("\xEF\xBB\xBF{}"), 3u);
    EXPECT_EQ(markSkipped("\xEF\xBB\xBF\xEF\xBB\xBF{}"), 6u);
    EXPECT_EQ(markSkipped(" \xEF\xBB\xBF{}"), 0u);
    EXPECT_EQ(markSkipped(""), 0u);
    // Every text of up to seven bytes drawn from the mark's bytes and two others.
    std::string const bytes = "\xEF\xBB\xBF{ ";
    for (int size = 0; size <= 7; ++size)
    {
        int combinations = 1;
        for (int i = 0; i < size; ++i)
            combinations *= static_cast<int>(bytes.size());
        for (int index = 0; index < combinations; ++index)
        {
            std::string text;
            for (int i = 0, rest = index; i < size; ++i, rest /= static_cast<int>(bytes.size()))
                text += bytes[static_cast<std::size_t>(rest) % bytes.size()];
            ASSERT_EQ(markSkipped(text), markSkippedByTheLibrary(text))
                << testing::PrintToString(text);
        }
    }
}

} // namespace
} // namespace kelvarin::triggerTesting
