#pragma once

// RapidJSON's reader and writer handle a string one character at a time, each with a check of
// their buffer's room, unless they are given a way to pass the characters that need no escaping
// on in one piece; the library gives such ways for its own string streams on processors with
// SIMD, through hooks that JsonTextStream.hpp and StringOutput.hpp specialise for streams of the
// service's own. A run ends at the first quote, backslash or control character (NUL and the
// stream's end included); the library's own loop then takes that character exactly as it would
// have, so the texts read and written are the same as without the hooks.
//
// The hooks are private members of the library's classes: a new version may rename them or stop
// calling them, and nothing would say so but a slower service. So the version they were checked
// against is pinned here, checked beside each hook and in CMakeLists.txt, and
// tests/common/JsonStringRunsTest.cpp checks both that the library still calls them and that the
// texts are the same as without them.

#include <rapidjson/reader.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvarin::triggerTesting
{

// The RapidJSON whose reader and writer the hooks were checked against.
inline constexpr bool rapidjsonIsTheCheckedVersion =
    RAPIDJSON_MAJOR_VERSION == 1 && RAPIDJSON_MINOR_VERSION == 1 && RAPIDJSON_PATCH_VERSION == 0;

constexpr bool needsJsonEscape(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\';
}

// Whether any of the eight bytes of the word needs escaping: a byte below 0x20, a quote or a
// backslash (the classic tests for a zero byte and for a byte below n, which never miss one).
constexpr bool anyNeedsJsonEscape(std::uint64_t word)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highBits = 0x8080808080808080;
    auto const below = [](std::uint64_t w, std::uint64_t n) { return (w - ones * n) & ~w; };
    auto const equal = [&](std::uint64_t w, std::uint64_t c) { return below(w ^ (ones * c), 1); };
    return ((below(word, 0x20) | equal(word, '"') | equal(word, '\\')) & highBits) != 0;
}

// Where the run of characters from begin that stand for themselves ends. Eight bytes are
// looked at a time while eight remain; nothing past end is read.
inline char const *endOfPlainRun(char const *begin, char const *end)
{
    std::uint64_t word;
    while (end - begin >= static_cast<std::ptrdiff_t>(sizeof word))
    {
        std::memcpy(&word, begin, sizeof word);
        if (anyNeedsJsonEscape(word))
            break;
        begin += sizeof word;
    }
    while (begin != end && !needsJsonEscape(*begin))
        ++begin;
    return begin;
}

// Copies the run at the stream's position onto the reader's stack; the stream's position
// follows.
template <typename Output> void copyPlainRun(char const *&position, char const *end, Output &output)
{
    char const *const runEnd = endOfPlainRun(position, end);
    auto const length = static_cast<rapidjson::SizeType>(runEnd - position);
    if (length != 0)
        std::memcpy(output.Push(length), position, length);
    position = runEnd;
}

} // namespace kelvarin::triggerTesting
