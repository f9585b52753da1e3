#pragma once

#include "status/EtherAddr.hpp"

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting
{

// The binary messages exchanged with devices. Every message starts with a 4-byte magic and a
// type byte; decoders throw std::runtime_error with a description of what is wrong.

inline constexpr std::string_view deviceSubprotocol =
    "v1.json.v1.device.trigger_testing.kelvarin.net";

// The first four bytes of every message: 0xA5349B46, least significant byte first. Written into
// every message sent; not looked at in what is received.
inline constexpr std::string_view deviceMagic = "\x46\x9B\x34\xA5";

enum class MessageType : std::uint8_t
{
    validate = 1, // register from the device, validation answer from the controller
    testRun = 2,  // run request from the controller, result from the device
};

struct RegisterMessage
{
    std::uint64_t unitId = 0;
    EtherAddr mac;
};

struct ResultMessage
{
    boost::uuids::uuid requestId{};
    bool isLast = false;
    std::string text;
};

RegisterMessage decodeRegisterMessage(std::string_view message);
ResultMessage decodeResultMessage(std::string_view message);
std::string encodeValidationAnswer(bool accepted);
std::string encodeRunMessage(boost::uuids::uuid const &requestId, std::string_view data);

} // namespace kelvarin::triggerTesting
