#include "common/JsonStringRuns.hpp"

#include "common/JsonTextStream.hpp"
#include "common/NestingLimit.hpp"
#include "common/StringOutput.hpp"

#include <rapidjson/document.h>
#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

namespace
{

// Streams of the test's own, whose hooks count their calls and do nothing else, as the library's
// generic ones do: they say whether the library still calls a hook by that name at all.
struct CountingTextStream : rapidjson::MemoryStream
{
    using MemoryStream::MemoryStream;
};
struct CountingOutput : rapidjson::StringBuffer
{
};
int readerHookCalls = 0;
int writerHookCalls = 0;

} // namespace

namespace rapidjson
{

template <>
template <>
inline void ServiceReader::ScanCopyUnescapedString(CountingTextStream &, StackStream<char> &)
{
    ++readerHookCalls;
}

template <>
inline bool Writer<CountingOutput>::ScanWriteUnescapedString(StringStream &stream, size_t length)
{
    ++writerHookCalls;
    return stream.Tell() < length;
}

} // namespace rapidjson

namespace kelvarin::triggerTesting
{
namespace
{

TEST(JsonStringRunsTest, TheLibraryStillCallsBothHooks)
{
    std::string const text = R"({"key":"value","list":["a","b"]})";
    CountingTextStream stream(text.data(), text.size());
    CountingOutput output;
    rapidjson::Writer<CountingOutput> writer(output);
    ASSERT_TRUE(readJson(stream, writer));
    // A hook that passes nothing on is asked again before each character of the five strings
    // (keys included) and before each closing quote: 19 times in reading, 19 in writing.
    EXPECT_EQ(readerHookCalls, 19);
    EXPECT_EQ(writerHookCalls, 19);
    EXPECT_EQ(std::string_view(output.GetString(), output.GetSize()), text);
}

// Where the library's own loop would stop: the first quote, backslash or control character.
std::size_t naiveRunLength(std::string_view text)
{
    std::size_t length = 0;
    while (length < text.size() && static_cast<unsigned char>(text[length]) >= 0x20 &&
           text[length] != '"' && text[length] != '\\')
        ++length;
    return length;
}

TEST(JsonStringRunsTest, ARunEndsAtTheFirstByteThatNeedsEscapingAndNeverPastTheEnd)
{
    // Every byte value at every place of texts shorter and longer than a word; the text is
    // followed by a quote that the run must not reach.
    for (std::size_t size = 0; size <= 19; ++size)
        for (std::size_t place = 0; place < size; ++place)
            for (int value = 0; value < 256; ++value)
            {
                std::string buffer(size, 'a');
                buffer[place] = static_cast<char>(value);
                buffer += '"';
                std::string_view const text(buffer.data(), size);
                ASSERT_EQ(static_cast<std::size_t>(endOfPlainRun(text.data(), text.data() + size) -
                                                   text.data()),
                          naiveRunLength(text))
                    << "size " << size << ", byte " << value << " at " << place;
            }
}

// The text as RapidJSON's document and writer give it back compactly, with neither hook, or ""
// if it is not JSON.
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

// The text read through the service's stream and written to its output, both hooks in use, or
// "" if it is not JSON. The output starts with room for `expected` characters.
std::string rewrittenWithTheHooks(std::string const &text, std::size_t expected)
{
    std::string written;
    StringOutput output(written, expected);
    rapidjson::Writer<StringOutput> writer(output);
    JsonTextStream stream(text);
    bool const parsed = readJson(stream, writer);
    output.finish();
    return parsed ? written : "";
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

TEST(JsonStringRunsTest, TextsComeOutAsTheLibraryAloneReadsAndWritesThem)
{
    std::mt19937 random(2026);
    int written = 0;
    for (int round = 0; round < 2000; ++round)
    {
        std::string text = "{";
        for (int member = 0; member < 3; ++member)
            text.append(member ? "," : "")
                .append(randomJsonString(random))
                .append(":")
                .append(randomJsonString(random));
        text += "}";
        auto const expected = rewrittenByTheLibrary(text);
        // From no room at all (every string grows the output) to room for the whole text.
        EXPECT_EQ(rewrittenWithTheHooks(text, round % 2 ? text.size() : 0), expected) << text;
        written += !expected.empty();
    }
    // Both kinds occurred.
    EXPECT_GT(written, 200);
    EXPECT_LT(written, 1800);
}

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
    // Every text of up to seven bytes drawn from the mark's bytes and two others: one mark and
    // two, one after a blank, and none.
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
