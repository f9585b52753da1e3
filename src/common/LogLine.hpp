#pragma once

#include "common/DecimalText.hpp"
#include "common/PeerText.hpp"
#include "common/UuidText.hpp"

#include <iostream>
#include <streambuf>
#include <string_view>
#include <type_traits>

namespace kelvarin::triggerTesting
{

// A number that a stream would write as a number: every arithmetic type but the character.
template <typename T>
concept NumberNotCharacter = std::is_arithmetic_v<T> && !std::is_same_v<T, char>;

// One line of the log, for the lines written for every test: `LogLine() << "text" << id;`.
// Its pieces go straight to the log stream's buffer, and at the end of the statement the line
// end and the synchronisation that std::endl gives follow. The bytes are those of
// `std::clog << ... << std::endl`, without the stream's guard and dispatch around every piece,
// which cost more than the copying itself.
class LogLine
{
public:
    LogLine() : buffer(std::clog.rdbuf()) {}
    ~LogLine()
    {
        if (buffer == nullptr)
            return;
        try
        {
            buffer->sputc('\n');
            buffer->pubsync();
        }
        catch (...)
        {
            // As the stream would: a line that cannot be written is lost, the service goes on.
        }
    }
    LogLine(LogLine const &) = delete;
    LogLine &operator=(LogLine const &) = delete;

    LogLine &operator<<(std::string_view text)
    {
        if (buffer != nullptr)
            buffer->sputn(text.data(), static_cast<std::streamsize>(text.size()));
        return *this;
    }
    LogLine &operator<<(char c)
    {
        if (buffer != nullptr)
            buffer->sputc(c);
        return *this;
    }
    LogLine &operator<<(UuidText const &id) { return *this << id.view(); }
    LogLine &operator<<(DecimalText const &number) { return *this << number.view(); }
    LogLine &operator<<(PeerText const &peerText)
    {
        if (buffer != nullptr)
            writePeerText(*buffer, peerText.text);
        return *this;
    }
    // A number would otherwise be taken for a character: numbers go through DecimalText.
    template <NumberNotCharacter Number> LogLine &operator<<(Number) = delete;

private:
    std::streambuf *buffer;
};

} // namespace kelvarin::triggerTesting
