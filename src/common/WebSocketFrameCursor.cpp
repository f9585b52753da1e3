#include "common/WebSocketFrameCursor.hpp"

#include <algorithm>

namespace kelvarin::triggerTesting
{

namespace
{

constexpr unsigned char finBit = 0x80;
constexpr unsigned char controlOpcodeBit = 0x08;
constexpr unsigned char maskBit = 0x80;
constexpr unsigned char lengthBits = 0x7f;

// The header's length once its second byte is known: the extended length and the mask key.
std::uint8_t headerLengthFrom(unsigned char second)
{
    std::uint8_t length = 2;
    auto const shortLength = second & lengthBits;
    if (shortLength == 126)
        length += 2;
    else if (shortLength == 127)
        length += 8;
    if (second & maskBit)
        length += 4;
    return length;
}

} // namespace

std::size_t WebSocketFrameCursor::advanceHead(unsigned char const *bytes, std::size_t size)
{
    static constexpr char headEnd[] = "\r\n\r\n";
    std::size_t used = 0;
    while (used < size)
    {
        auto const byte = static_cast<char>(bytes[used++]);
        if (byte == headEnd[headEndSeen])
            ++headEndSeen;
        else
            headEndSeen = byte == headEnd[0] ? 1 : 0;
        if (headEndSeen == 4)
        {
            inHead = false;
            break;
        }
    }
    return used;
}

std::size_t WebSocketFrameCursor::advance(unsigned char const *bytes, std::size_t size)
{
    if (inHead)
        return advanceHead(bytes, size);
    std::size_t used = 0;
    while (used < size)
    {
        if (!inPayload)
        {
            takeHeaderByte(bytes[used++]);
            if (headerSeen == 0 && !inPayload)
                return used; // a frame without payload ended with its header
            continue;
        }
        auto const take = static_cast<std::size_t>(
            std::min<std::uint64_t>(payloadLeft, static_cast<std::uint64_t>(size - used)));
        used += take;
        payloadLeft -= take;
        if (payloadLeft == 0)
        {
            endFrame();
            return used;
        }
    }
    return used;
}

void WebSocketFrameCursor::takeHeaderByte(unsigned char byte)
{
    header[headerSeen++] = byte;
    if (headerSeen == 2)
        headerLength = headerLengthFrom(byte);
    if (headerSeen < 2 || headerSeen < headerLength)
        return;
    beginPayload();
}

void WebSocketFrameCursor::beginPayload()
{
    auto const shortLength = header[1] & lengthBits;
    std::uint64_t length = shortLength;
    int const extendedBytes = shortLength == 126 ? 2 : shortLength == 127 ? 8 : 0;
    if (extendedBytes > 0)
    {
        length = 0;
        for (int i = 0; i < extendedBytes; ++i)
            length = (length << 8) | header[2 + i];
    }
    payloadLeft = length;
    if (payloadLeft == 0)
        endFrame();
    else
        inPayload = true;
}

void WebSocketFrameCursor::endFrame()
{
    bool const control = header[0] & controlOpcodeBit;
    if (!control)
    {
        messageOpen = !(header[0] & finBit);
        if (!messageOpen)
            ++completed;
    }
    inPayload = false;
    headerSeen = 0;
    headerLength = 2;
}

LeadingControlFrame leadingControlFrame(std::string_view bytes)
{
    constexpr unsigned char pingOpcode = 0x9;
    constexpr unsigned char pongOpcode = 0xa;
    constexpr unsigned char reservedBits = 0x70;
    constexpr std::size_t maskLength = 4;
    constexpr std::size_t largestControlPayload = 125;
    LeadingControlFrame frame;
    if (bytes.empty())
        return frame;
    auto const first = static_cast<unsigned char>(bytes[0]);
    auto const opcode = first & 0x0f;
    if (opcode != pingOpcode && opcode != pongOpcode)
        return frame;
    if (bytes.size() < 2)
    {
        frame.kind = LeadingControlFrame::incomplete;
        return frame;
    }
    auto const second = static_cast<unsigned char>(bytes[1]);
    std::size_t const payloadLength = second & lengthBits;
    if (!(first & finBit) || (first & reservedBits) || !(second & maskBit) ||
        payloadLength > largestControlPayload)
        return frame;
    std::size_t const headerLength = 2 + maskLength;
    if (bytes.size() < headerLength + payloadLength)
    {
        frame.kind = LeadingControlFrame::incomplete;
        return frame;
    }
    frame.kind = opcode == pingOpcode ? LeadingControlFrame::ping : LeadingControlFrame::pong;
    frame.length = headerLength + payloadLength;
    auto const mask = bytes.substr(2, maskLength);
    frame.payload.assign(bytes.substr(headerLength, payloadLength));
    for (std::size_t i = 0; i < frame.payload.size(); ++i)
        frame.payload[i] = static_cast<char>(frame.payload[i] ^ mask[i % maskLength]);
    return frame;
}

} // namespace kelvarin::triggerTesting
