#include "api/ResultMessage.hpp"

#include <boost/uuid/uuid_io.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <stdexcept>
#include <string_view>

namespace kelvarin::triggerTesting
{

namespace
{

using Allocator = rapidjson::Document::AllocatorType;

rapidjson::Value copyString(std::string const &text, Allocator &allocator)
{
    return rapidjson::Value(text.data(), static_cast<rapidjson::SizeType>(text.size()), allocator);
}

// The device's own object; devices may prefix their text with a byte-order mark.
void parseResultBody(std::string const &text, rapidjson::Document &body)
{
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    std::string_view json = text;
    if (json.starts_with(byteOrderMark))
    {
        json.remove_prefix(byteOrderMark.size());
    }
    // Members are appended to the body below, so anything but an object is refused too.
    if (body.Parse(json.data(), json.size()).HasParseError() || !body.IsObject())
    {
        throw std::runtime_error("Invalid JSON");
    }
}

void buildErrorBody(Error const &error, rapidjson::Document &body)
{
    auto &allocator = body.GetAllocator();
    rapidjson::Value details(rapidjson::kObjectType);
    // Codes beyond the known ones are reported as UNKNOWN too.
    auto const *code = error.code == Error::UNREACHABLE ? "UNREACHABLE" : "UNKNOWN";
    details.AddMember("code", rapidjson::StringRef(code), allocator);
    details.AddMember("message", copyString(error.message, allocator), allocator);

    body.SetObject();
    body.AddMember("status", "error", allocator);
    body.AddMember("data", details, allocator);
}

// Appended without looking for members of the same names: the device's own stay first.
void appendMetadata(TestMetadata const &metadata, rapidjson::Value &body, Allocator &allocator)
{
    body.AddMember("test_id", copyString(boost::uuids::to_string(metadata.testId), allocator),
                   allocator);
    body.AddMember("unit_id", rapidjson::Value(metadata.unitId), allocator);
    body.AddMember("task", copyString(metadata.task, allocator), allocator);
    body.AddMember("action_id", rapidjson::Value(metadata.actionId), allocator);
}

} // namespace

std::string buildResultMessage(Reply const &reply, TestMetadata const &metadata)
{
    rapidjson::Document envelope(rapidjson::kObjectType);
    auto &allocator = envelope.GetAllocator();

    rapidjson::Document body(&allocator);
    if (auto const *result = std::get_if<Result>(&reply.payload))
    {
        parseResultBody(result->text, body);
    }
    else
    {
        buildErrorBody(std::get<Error>(reply.payload), body);
    }
    appendMetadata(metadata, body, allocator);

    envelope.AddMember("type", "execute", allocator);
    envelope.AddMember("data", static_cast<rapidjson::Value &>(body), allocator);

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    envelope.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace kelvarin::triggerTesting
