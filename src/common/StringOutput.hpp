#pragma once

#include "common/JsonStringRuns.hpp"

#include <rapidjson/writer.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace kelvarin::triggerTesting
{

// An output stream for RapidJSON's Writer that writes into a std::string, so that the text is
// made where it is kept, with no copy out of a buffer of the writer's own. Room for the expected
// length is made at once; the string has its final size once finish() has run. (The writer's
// unchecked fast path is not offered: it reserves room for every character of a string escaped,
// six times its length, and the room would stay with the text.)
//
// The writer puts every character through Put, so Put is a compare and a store, with the rare
// growth out of line.
class StringOutput
{
public:
    using Ch = char;

    StringOutput(std::string &text, std::size_t expected) : text(text)
    {
        auto const start = text.size();
        text.resize(start + expected);
        cursor = text.data() + start;
        end = text.data() + text.size();
    }

    void Put(char c)
    {
        if (cursor == end) [[unlikely]]
            grow(1);
        *cursor++ = c;
    }
    void append(char const *characters, std::size_t count)
    {
        if (static_cast<std::size_t>(end - cursor) < count) [[unlikely]]
            grow(count);
        std::memcpy(cursor, characters, count);
        cursor += count;
    }
    void Flush() {}
    void finish() { text.resize(static_cast<std::size_t>(cursor - text.data())); }

private:
    [[gnu::noinline]] void grow(std::size_t count)
    {
        auto const length = static_cast<std::size_t>(cursor - text.data());
        text.resize(std::max(2 * text.size() + 1, length + count));
        cursor = text.data() + length;
        end = text.data() + text.size();
    }

    std::string &text;
    char *cursor;
    char *end;
};

} // namespace kelvarin::triggerTesting

namespace rapidjson
{

static_assert(kelvarin::triggerTesting::rapidjsonIsTheCheckedVersion,
              "RapidJSON is not the version the writer's hook was checked against: re-check "
              "src/common/StringOutput.hpp against the new writer.h, run "
              "tests/common/JsonStringRunsTest.cpp, then update the version in "
              "src/common/JsonStringRuns.hpp and CMakeLists.txt");

// The characters of a string that need no escaping go out in one piece (see JsonStringRuns.hpp);
// the writer's own loop escapes the one that ends the run.
template <>
inline bool
Writer<kelvarin::triggerTesting::StringOutput>::ScanWriteUnescapedString(StringStream &stream,
                                                                         size_t length)
{
    char const *const runEnd =
        kelvarin::triggerTesting::endOfPlainRun(stream.src_, stream.head_ + length);
    os_->append(stream.src_, static_cast<std::size_t>(runEnd - stream.src_));
    stream.src_ = runEnd;
    return runEnd != stream.head_ + length;
}

} // namespace rapidjson
