#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting
{

// Follows one direction of a WebSocket connection, the HTTP head of its opening handshake and
// then its frames, from their headers alone, so that a reader can stop at the end of the head
// and of each frame and tell whether a message is partly read. It checks nothing: the WebSocket
// stream the bytes go on to does that.
class WebSocketFrameCursor
{
public:
    // Takes up to `size` bytes that continue the connection and stops at the end of the head or
    // of the frame they are in; returns how many it took (at least one when `size` is not zero).
    std::size_t advance(unsigned char const *bytes, std::size_t size);
    // For a connection whose handshake was made elsewhere: frames come from the start.
    void skipHandshake() { inHead = false; }
    // Data messages whose last byte has been taken, since the start (wrapping).
    std::uint32_t messagesCompleted() const { return completed; }
    // Past the handshake, between frames, and no data message begun and not yet finished.
    bool atMessageBoundary() const
    {
        return !inHead && headerSeen == 0 && !inPayload && !messageOpen;
    }

private:
    std::size_t advanceHead(unsigned char const *bytes, std::size_t size);
    void takeHeaderByte(unsigned char byte);
    void beginPayload();
    void endFrame();

    std::uint64_t payloadLeft = 0;
    unsigned char header[14] = {};
    std::uint8_t headerSeen = 0;
    std::uint8_t headerLength = 2;
    std::uint32_t completed = 0;
    bool inPayload = false;
    bool messageOpen = false;
    // The handshake's head (an upgrade request or its response, neither with a body) ends with
    // an empty line; how much of "\r\n\r\n" has been seen.
    bool inHead = true;
    std::uint8_t headEndSeen = 0;
};

// The ping or pong a client's bytes begin with, between messages: a connection that is idle
// between messages can answer the one and drop the other without a WebSocket stream. Only a
// frame that a WebSocket stream would take is recognised (final, no reserved bits, masked, at
// most 125 bytes of payload); everything else is the stream's to judge.
struct LeadingControlFrame
{
    enum Kind
    {
        other,      // not a ping or pong: a data or close frame, or one a stream refuses
        incomplete, // may be a ping or pong whose bytes have not all come
        ping,
        pong,
    };

    Kind kind = other;
    std::size_t length = 0; // of the whole frame
    std::string payload;    // unmasked
};
LeadingControlFrame leadingControlFrame(std::string_view bytes);

} // namespace kelvarin::triggerTesting
