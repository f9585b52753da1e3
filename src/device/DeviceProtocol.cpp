#include "device/DeviceProtocol.hpp"

#include <algorithm>
#include <stdexcept>

namespace kelvarin::triggerTesting
{

namespace
{

constexpr std::size_t typeOffset = 4;
constexpr std::size_t headerSize = typeOffset + 1;

constexpr std::size_t registerUnitIdOffset = 5;
constexpr std::size_t registerMacOffset = 13;
constexpr std::size_t registerSize = 19;

constexpr std::size_t requestIdOffset = 5;
constexpr std::size_t resultFlagsOffset = 21;
constexpr std::size_t resultTextOffset = 26;
constexpr std::uint8_t lastResultFlag = 0x01;

constexpr std::size_t runHeaderSize = 25;

std::uint8_t byteAt(std::string_view message, std::size_t offset)
{
    return static_cast<std::uint8_t>(message[offset]);
}

bool hasType(std::string_view message, MessageType type)
{
    return byteAt(message, typeOffset) == static_cast<std::uint8_t>(type);
}

std::string bracketed(long long value)
{
    return "[" + std::to_string(value) + "]";
}

void checkRegisterMessage(std::string_view message)
{
    if (message.size() < headerSize)
        throw std::runtime_error("Bad validate - message too short: " +
                                 bracketed(static_cast<long long>(message.size())) + " bytes");
    if (!hasType(message, MessageType::validate))
    {
        // Devices send the type as a signed byte, so 0xFF is reported as -1.
        auto const received = static_cast<std::int8_t>(byteAt(message, typeOffset));
        throw std::runtime_error("Bad validate - wrong message type: " + bracketed(received) +
                                 " not matching " +
                                 bracketed(static_cast<int>(MessageType::validate)));
    }
    if (message.size() != registerSize)
        throw std::runtime_error(
            "Bad validate - wrong size: " + bracketed(static_cast<long long>(message.size())) +
            " not matching " + bracketed(static_cast<long long>(registerSize)));
}

void appendBigEndian32(std::string &out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

} // namespace

RegisterMessage decodeRegisterMessage(std::string_view message)
{
    checkRegisterMessage(message);
    RegisterMessage decoded;
    for (std::size_t i = 0; i < 8; ++i)
        decoded.unitId = (decoded.unitId << 8) | byteAt(message, registerUnitIdOffset + i);
    for (std::size_t i = 0; i < decoded.mac.bytes.size(); ++i)
        decoded.mac.bytes[i] = byteAt(message, registerMacOffset + i);
    return decoded;
}

ResultMessage decodeResultMessage(std::string_view message)
{
    // A result carries at least one byte of text.
    if (message.size() < headerSize || !hasType(message, MessageType::testRun) ||
        message.size() <= resultTextOffset)
        throw std::runtime_error("Bad results");
    ResultMessage decoded;
    std::copy_n(message.begin() + requestIdOffset, decoded.requestId.size(),
                decoded.requestId.begin());
    decoded.isLast = (byteAt(message, resultFlagsOffset) & lastResultFlag) != 0;
    decoded.text = std::string(message.substr(resultTextOffset));
    return decoded;
}

std::string encodeValidationAnswer(bool accepted)
{
    std::string answer(deviceMagic);
    answer.push_back(static_cast<char>(MessageType::validate));
    answer.push_back(accepted ? '\x01' : '\x00');
    return answer;
}

std::string encodeRunMessage(boost::uuids::uuid const &requestId, std::string_view data)
{
    std::string run;
    run.reserve(runHeaderSize + data.size());
    run.append(deviceMagic);
    run.push_back(static_cast<char>(MessageType::testRun));
    run.append(reinterpret_cast<char const *>(requestId.data), requestId.size());
    // The length field holds the low 32 bits of the size; larger data is not expected.
    appendBigEndian32(run, static_cast<std::uint32_t>(data.size()));
    run.append(data);
    return run;
}

} // namespace kelvarin::triggerTesting
