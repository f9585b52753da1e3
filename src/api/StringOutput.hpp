#pragma once

#include <cstddef>
#include <string>

namespace kelvarin::triggerTesting
{

// An output stream for RapidJSON's Writer that writes into a std::string, so that the text is
// made where it is kept, with no copy out of a buffer of the writer's own. Room for the expected
// length is made at once; the string has its final size once finish() has run. (The writer's
// unchecked fast path is not offered: it reserves room for every character of a string escaped,
// six times its length, and the room would stay with the text.)
class StringOutput
{
public:
    using Ch = char;

    StringOutput(std::string &text, std::size_t expected) : text(text), length(text.size())
    {
        text.resize(length + expected);
    }

    void Put(char c)
    {
        if (length == text.size())
            text.resize(2 * text.size() + 1);
        text[length++] = c;
    }
    void Flush() {}
    void finish() { text.resize(length); }

private:
    std::string &text;
    std::size_t length;
};

} // namespace kelvarin::triggerTesting
