#include "sim/SimMessages.hpp"

#include "api/Utils.hpp"
#include "device/DeviceProtocol.hpp"

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <stdexcept>

namespace kelvarin::triggerTesting::sim
{

namespace
{

constexpr std::size_t runHeaderSize = 25;
constexpr std::size_t validationAnswerSize = 6;
// test_id, unit_id, task and action_id, which the controller appends to every result body.
constexpr rapidjson::SizeType appendedMembers = 4;

char typeByte(MessageType type)
{
    return static_cast<char>(type);
}

std::uint8_t byteAt(std::string_view message, std::size_t offset)
{
    return static_cast<std::uint8_t>(message[offset]);
}

bool readBool(rapidjson::Value const &object, char const *name)
{
    auto const member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsBool())
        throw std::runtime_error(Utils::missingMemberText(name));
    return member->value.GetBool();
}

bool hasMember(rapidjson::Value const &object, char const *name)
{
    return object.IsObject() && object.HasMember(name);
}

rapidjson::Value const &objectMember(rapidjson::Value const &object, char const *name)
{
    auto const member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsObject())
        throw std::runtime_error(Utils::missingMemberText(name));
    return member->value;
}

std::string bodyWithoutAppendedMembers(rapidjson::Value const &data)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    auto const kept =
        data.MemberCount() > appendedMembers ? data.MemberCount() - appendedMembers : 0;
    auto member = data.MemberBegin();
    for (rapidjson::SizeType i = 0; i < kept; ++i, ++member)
    {
        writer.Key(member->name.GetString(), member->name.GetStringLength());
        member->value.Accept(writer);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

void readResult(rapidjson::Value const &data, ControllerMessage &message)
{
    message.kind = ControllerMessage::Kind::result;
    message.testId = boost::uuids::string_generator()(Utils::getStringMember(data, "test_id"));
    message.unitId = Utils::getUint64Member(data, "unit_id");
    auto const status = data.FindMember("status");
    message.isError = status != data.MemberEnd() && status->value == "error";
    if (message.isError)
        message.errorCode = Utils::getStringMember(objectMember(data, "data"), "code");
    message.resultText = bodyWithoutAppendedMembers(data);
}

void readMessage(rapidjson::Document const &document, ControllerMessage &message)
{
    if (!document.IsObject())
        throw std::runtime_error("not a JSON object");
    auto const type = Utils::getStringMember(document, "type");
    if (type == "unit_disconnect")
    {
        message.kind = ControllerMessage::Kind::disconnection;
        message.reason = Utils::getStringMember(document, "reason");
        message.time = Utils::getStringMember(document, "dtime_utc");
        message.unitId = Utils::getUint64Member(document, "unit_id");
        return;
    }
    auto const &data = objectMember(document, "data");
    if (type == "register")
    {
        message.kind = ControllerMessage::Kind::registration;
        message.name = Utils::getStringMember(data, "name");
        message.isValidator = hasMember(data, "is_validator") && readBool(data, "is_validator");
    }
    else if (type == "execute")
        readResult(data, message);
    else if (type == "isOnline")
    {
        message.kind = ControllerMessage::Kind::isOnlineAnswer;
        message.unitId = Utils::getUint64Member(data, "unit_id");
        message.online = readBool(data, "result");
    }
    else if (type == "validate")
    {
        message.kind = ControllerMessage::Kind::validate;
        message.unitId = Utils::getUint64Member(data, "unit_id");
        message.mac = EtherAddr(Utils::getStringMember(data, "mac"));
    }
    else
        throw std::runtime_error("unknown type \"" + type + "\"");
}

} // namespace

std::string registerMessage(std::uint64_t unitId, EtherAddr const &mac)
{
    std::string message(deviceMagic);
    message.push_back(typeByte(MessageType::validate));
    for (int shift = 56; shift >= 0; shift -= 8)
        message.push_back(static_cast<char>((unitId >> shift) & 0xFF));
    message.append(mac.bytes.begin(), mac.bytes.end());
    return message;
}

std::string resultMessage(boost::uuids::uuid const &requestId, bool isLast, std::string const &text)
{
    std::string message(deviceMagic);
    message.push_back(typeByte(MessageType::testRun));
    message.append(requestId.begin(), requestId.end());
    message.push_back(isLast ? '\x01' : '\x00');
    message.append(4, '\0');
    message.append(text);
    return message;
}

std::string resultText(unsigned part, unsigned of)
{
    return std::string("{\"status\":\"") + (part == of ? "ok" : "running") +
           "\",\"part\":" + std::to_string(part) + ",\"of\":" + std::to_string(of) + "}";
}

std::optional<RunRequest> decodeRunMessage(std::string_view message)
{
    if (message.size() < runHeaderSize || byteAt(message, 4) != 2)
        return std::nullopt;
    std::uint32_t length = 0;
    for (std::size_t i = 21; i < runHeaderSize; ++i)
        length = (length << 8) | byteAt(message, i);
    if (message.size() - runHeaderSize != length)
        return std::nullopt;
    RunRequest run;
    std::copy_n(message.begin() + 5, run.requestId.size(), run.requestId.begin());
    run.data = std::string(message.substr(runHeaderSize));
    return run;
}

std::optional<bool> decodeValidationAnswer(std::string_view message)
{
    if (message.size() != validationAnswerSize || byteAt(message, 4) != 1 || byteAt(message, 5) > 1)
        return std::nullopt;
    return byteAt(message, 5) == 1;
}

std::string executeMessage(boost::uuids::uuid const &testId, std::uint64_t unitId,
                           std::string const &task, std::uint64_t actionId)
{
    return "{\"type\":\"execute\",\"data\":{\"test_id\":\"" + boost::uuids::to_string(testId) +
           "\",\"unit_id\":" + std::to_string(unitId) + ",\"task\":" + Utils::quoted(task) +
           ",\"action_id\":" + std::to_string(actionId) + "}}";
}

std::string isOnlineQuery(std::uint64_t unitId)
{
    return "{\"type\":\"isOnline\",\"data\":{\"unit_id\":" + std::to_string(unitId) + "}}";
}

std::string validateAnswer(std::uint64_t unitId, EtherAddr const &mac, bool valid)
{
    return "{\"type\":\"validate\",\"data\":{\"unit_id\":" + std::to_string(unitId) +
           ",\"mac\":\"" + mac.toString() + "\",\"result\":" + (valid ? "true" : "false") + "}}";
}

ControllerMessage parseControllerMessage(std::string const &text)
{
    ControllerMessage message;
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    try
    {
        if (document.HasParseError())
            throw std::runtime_error("Invalid JSON");
        readMessage(document, message);
    }
    catch (std::exception const &e)
    {
        ControllerMessage malformed;
        malformed.problem = e.what();
        return malformed;
    }
    return message;
}

} // namespace kelvarin::triggerTesting::sim
