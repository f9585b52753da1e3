#pragma once

#include <string>

namespace kelvarin::triggerTesting
{

// An output stream for RapidJSON's Writer that appends to a std::string, so that the text is
// written where it is kept, with no copy out of a buffer of the writer's own.
struct StringOutput
{
    using Ch = char;

    void Put(char c) { text.push_back(c); }
    void Flush() {}

    std::string &text;
};

} // namespace kelvarin::triggerTesting
