#include "common/PeerText.hpp"

#include "common/LogLine.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::string_literals;

// What the text becomes, byte by byte, the plain way.
std::string reference(std::string const &text)
{
    std::string out;
    for (char c : text.substr(0, peerTextLogLimit))
    {
        auto const byte = static_cast<unsigned char>(c);
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte == 0x7f)
        {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        }
        else
            out += c;
    }
    if (text.size() > peerTextLogLimit)
        out += " ... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

TEST(PeerTextTest, OrdinaryTextsAndBackslashesStayAsTheyAre)
{
    std::string const execute = R"({"type":"execute","data":{"test_id":"a\"b\\n","task":"ping"}})";
    EXPECT_EQ(peerTextForLog(execute), execute);
    EXPECT_EQ(peerTextForLog(""), "");
    EXPECT_EQ(peerTextForLog("gr\xc3\xbc\xc3\x9f \xff\x80"), "gr\xc3\xbc\xc3\x9f \xff\x80");
    std::string const fullLength(peerTextLogLimit, 'a');
    EXPECT_EQ(peerTextForLog(fullLength), fullLength);
}

TEST(PeerTextTest, ControlCharactersCannotMakeLinesOfTheirOwn)
{
    EXPECT_EQ(peerTextForLog("a\nAPI Status: Connect Success\r\n"),
              "a\\nAPI Status: Connect Success\\r\\n");
    EXPECT_EQ(peerTextForLog("\t\x01\x1f\x7f\x1b[31m"s + '\0'), "\\t\\x01\\x1f\\x7f\\x1b[31m\\x00");
}

TEST(PeerTextTest, LongTextsAreCutAndTheirLengthTold)
{
    std::string const text(16 << 20, '7');
    EXPECT_EQ(peerTextForLog(text), std::string(peerTextLogLimit, '7') + " ... (16777216 bytes)");
    // The cut counts the bytes received, not the escapes written for them.
    std::string const lines(peerTextLogLimit + 1, '\n');
    std::string expected;
    for (std::size_t i = 0; i < peerTextLogLimit; ++i)
        expected += "\\n";
    EXPECT_EQ(peerTextForLog(lines), expected + " ... (1025 bytes)");
}

// Sixteen bytes are looked at a time, then eight, then one: every byte value at every place of
// each, and a second control character after it, is written as the plain way writes it.
TEST(PeerTextTest, EveryByteAtEveryPlaceIsWrittenAsThePlainWayWritesIt)
{
    for (int byte = 0; byte < 256; ++byte)
        for (std::size_t place = 0; place < 27; ++place)
        {
            std::string text(27, 'x');
            text[place] = static_cast<char>(byte);
            ASSERT_EQ(peerTextForLog(text), reference(text)) << byte << " at " << place;
            text[26 - place] = '\n';
            ASSERT_EQ(peerTextForLog(text), reference(text)) << byte << " at " << place;
        }
}

TEST(PeerTextTest, ALogLineCarriesTheEscapedText)
{
    std::ostringstream captured;
    auto *const previous = std::clog.rdbuf(captured.rdbuf());
    LogLine() << "Received message from API: ---" << PeerText{"x\ny"} << "---";
    std::clog.rdbuf(previous);
    EXPECT_EQ(captured.str(), "Received message from API: ---x\\ny---\n");
}

} // namespace
} // namespace kelvarin::triggerTesting
