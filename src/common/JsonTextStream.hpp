#pragma once

#include "common/JsonStringRuns.hpp"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstddef>
#include <string_view>

namespace kelvarin::triggerTesting
{

// The stream every text the service reads with readJson goes through: the library's memory
// stream, under a type of the service's own so that a reader can only meet it where the hook
// below is declared too (a reader that met the library's type without it would make another,
// silently different instance of the library's template).
class JsonTextStream : public rapidjson::MemoryStream
{
public:
    explicit JsonTextStream(std::string_view text) : MemoryStream(text.data(), text.size()) {}

    // Passes over a UTF-8 byte-order mark at the position. After a whole mark, each byte of a
    // further one that stands where it would is passed over in turn, as the library's UTF-8
    // input stream does and as result texts have always been read.
    void skipByteOrderMark()
    {
        constexpr std::string_view mark = "\xEF\xBB\xBF";
        if (std::string_view(src_, static_cast<std::size_t>(end_ - src_)).starts_with(mark))
            src_ += mark.size();
        for (char const byte : mark)
            if (src_ != end_ && *src_ == byte)
                ++src_;
    }
};

} // namespace kelvarin::triggerTesting

namespace rapidjson
{

static_assert(kelvarin::triggerTesting::rapidjsonIsTheCheckedVersion,
              "RapidJSON is not the version the reader's hook was checked against: re-check "
              "src/common/JsonTextStream.hpp against the new reader.h, run "
              "tests/common/JsonStringRunsTest.cpp, then update the version in "
              "src/common/JsonStringRuns.hpp and CMakeLists.txt");

using ServiceReader = GenericReader<UTF8<>, UTF8<>, CrtAllocator>;

template <>
template <>
inline void ServiceReader::ScanCopyUnescapedString(kelvarin::triggerTesting::JsonTextStream &stream,
                                                   StackStream<char> &output)
{
    kelvarin::triggerTesting::copyPlainRun(stream.src_, stream.end_, output);
}

} // namespace rapidjson
