#include "api/ResultMessage.hpp"

#include "common/JsonTextStream.hpp"
#include "common/NestingLimit.hpp"
#include "common/StringOutput.hpp"
#include "common/UuidText.hpp"

#include <rapidjson/writer.h>

#include <stdexcept>
#include <string_view>

namespace kelvarin::triggerTesting
{

namespace
{

using Writer = rapidjson::Writer<StringOutput>;

void writeString(Writer &writer, std::string_view text)
{
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

// Appended without looking for members of the same names: the device's own stay first.
void writeMetadata(Writer &writer, TestMetadata const &metadata)
{
    writer.Key("test_id");
    writeString(writer, UuidText(metadata.testId).view());
    writer.Key("unit_id");
    writer.Uint64(metadata.unitId);
    writer.Key("task");
    writeString(writer, metadata.task);
    writer.Key("action_id");
    writer.Uint64(metadata.actionId);
}

// Copies the device's result object into the message as it is read, and closes it with the
// request's metadata. Members are appended to the object, so any other root value is refused.
class ResultBodyCopy
{
public:
    using Ch = char;

    ResultBodyCopy(Writer &writer, TestMetadata const &metadata)
        : writer(writer), metadata(metadata)
    {
    }

    bool Null() { return inBody() && writer.Null(); }
    bool Bool(bool value) { return inBody() && writer.Bool(value); }
    bool Int(int value) { return inBody() && writer.Int(value); }
    bool Uint(unsigned value) { return inBody() && writer.Uint(value); }
    bool Int64(std::int64_t value) { return inBody() && writer.Int64(value); }
    bool Uint64(std::uint64_t value) { return inBody() && writer.Uint64(value); }
    bool Double(double value) { return inBody() && writer.Double(value); }
    bool RawNumber(Ch const *, rapidjson::SizeType, bool) { return false; }
    bool String(Ch const *text, rapidjson::SizeType length, bool)
    {
        return inBody() && writer.String(text, length);
    }
    bool Key(Ch const *text, rapidjson::SizeType length, bool) { return writer.Key(text, length); }
    bool StartObject()
    {
        ++depth;
        return writer.StartObject();
    }
    bool EndObject(rapidjson::SizeType)
    {
        if (--depth == 0)
            writeMetadata(writer, metadata);
        return writer.EndObject();
    }
    bool StartArray()
    {
        if (!inBody())
            return false;
        ++depth;
        return writer.StartArray();
    }
    bool EndArray(rapidjson::SizeType)
    {
        --depth;
        return writer.EndArray();
    }

private:
    bool inBody() const { return depth > 0; }

    Writer &writer;
    TestMetadata const &metadata;
    unsigned depth = 0;
};

// The device's own object; devices may prefix their text with a byte-order mark.
void writeResultBody(Writer &writer, std::string const &text, TestMetadata const &metadata)
{
    JsonTextStream stream(text);
    stream.skipByteOrderMark();
    ResultBodyCopy copy(writer, metadata);
    if (!readJson(stream, copy))
    {
        throw std::runtime_error("Invalid JSON");
    }
}

void writeErrorBody(Writer &writer, Error const &error, TestMetadata const &metadata)
{
    writer.StartObject();
    writer.Key("status");
    writer.String("error");
    writer.Key("data");
    writer.StartObject();
    // Codes beyond the known ones are reported as UNKNOWN too.
    writer.Key("code");
    writer.String(error.code == Error::UNREACHABLE ? "UNREACHABLE" : "UNKNOWN");
    writer.Key("message");
    writeString(writer, error.message);
    writer.EndObject();
    writeMetadata(writer, metadata);
    writer.EndObject();
}

} // namespace

std::string buildResultMessage(Reply const &reply, TestMetadata const &metadata)
{
    auto const *result = std::get_if<Result>(&reply.payload);
    auto const *error = std::get_if<Error>(&reply.payload);
    // The text is copied through once, so room for all of it is taken at once.
    constexpr std::size_t envelopeRoom = 256;
    std::string message;
    StringOutput output(message, (result ? result->text.size() : error->message.size()) +
                                     metadata.task.size() + envelopeRoom);
    // Given an allocator, the writer does not make one of its own on the heap for each message.
    rapidjson::CrtAllocator levelAllocator;
    Writer writer(output, &levelAllocator);
    writer.StartObject();
    writer.Key("type");
    writer.String("execute");
    writer.Key("data");
    if (result)
    {
        writeResultBody(writer, result->text, metadata);
    }
    else
    {
        writeErrorBody(writer, *error, metadata);
    }
    writer.EndObject();
    output.finish();
    return message;
}

} // namespace kelvarin::triggerTesting
