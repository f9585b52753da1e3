#pragma once

#include "status/EtherAddr.hpp"

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting::sim
{

// The messages the simulated peers exchange with a controller, built and read exactly as the
// controller's counterparts do.

// Device to controller: the 19-byte register message.
std::string registerMessage(std::uint64_t unitId, EtherAddr const &mac);
// Device to controller: one result; the four bytes after the flags are sent as zeros.
std::string resultMessage(boost::uuids::uuid const &requestId, bool isLast,
                          std::string const &text);
// The result text a well-behaved simulated device sends for part `part` of `of`.
std::string resultText(unsigned part, unsigned of);

// Controller to device: a run request.
struct RunRequest
{
    boost::uuids::uuid requestId{};
    std::string data;
};
// Nothing when the bytes are not a well-formed run message.
std::optional<RunRequest> decodeRunMessage(std::string_view message);
// The validation answer, or nothing when the bytes are not one.
std::optional<bool> decodeValidationAnswer(std::string_view message);

// API server to controller.
std::string executeMessage(boost::uuids::uuid const &testId, std::uint64_t unitId,
                           std::string const &task, std::uint64_t actionId);
std::string isOnlineQuery(std::uint64_t unitId);
// Validator to controller.
std::string validateAnswer(std::uint64_t unitId, EtherAddr const &mac, bool valid);

// A text message from a controller to an API server or to the validator, as far as the
// simulator looks at it.
struct ControllerMessage
{
    enum class Kind
    {
        registration,   // "register"; isValidator tells the two kinds apart
        result,         // "execute" carrying a result or an error for testId
        isOnlineAnswer, // "isOnline" with unitId and online
        validate,       // "validate" for unitId and mac
        disconnection,  // "unit_disconnect" for unitId with reason and time
        malformed,      // anything else; problem says what is wrong
    };

    Kind kind = Kind::malformed;
    std::string problem;
    bool isValidator = false;
    std::string name;
    std::uint64_t unitId = 0;
    boost::uuids::uuid testId{};
    bool isError = false;
    std::string errorCode;
    // A result's body without the members the controller appends to it (test_id, unit_id,
    // task, action_id), written compactly: the text the device sent, if that was compact.
    std::string resultText;
    bool online = false;
    EtherAddr mac;
    std::string reason;
    std::string time;
};

ControllerMessage parseControllerMessage(std::string const &text);

} // namespace kelvarin::triggerTesting::sim
