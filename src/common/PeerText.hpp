#pragma once

#include <cstddef>
#include <streambuf>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting
{

// The most of a peer's text that one log line carries.
constexpr std::size_t peerTextLogLimit = 1024;

// Text that a peer sent, written into a log line: `LogLine() << "..." << PeerText{text};`.
struct PeerText
{
    std::string_view text;
};

// Writes a peer's text as log lines carry it. A peer must not be able to write lines of its own
// into the log, nor make one line the size of its largest message: control characters (line
// ends included) are written as \n, \r, \t or \xhh (two lower-case hexadecimal digits), and a
// text longer than peerTextLogLimit is cut there, followed by " ... (N bytes)" with N its full
// length. Every other byte, a backslash too, stands for itself, so ordinary texts are written
// unchanged, in one piece.
void writePeerText(std::streambuf &out, std::string_view text);

// The same, as a string.
std::string peerTextForLog(std::string_view text);

} // namespace kelvarin::triggerTesting
