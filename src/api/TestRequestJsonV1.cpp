#include "api/TestRequestJsonV1.hpp"

#include "api/Utils.hpp"
#include "common/JsonTextStream.hpp"
#include "common/NestingLimit.hpp"
#include "common/StringOutput.hpp"

#include <boost/uuid/string_generator.hpp>
#include <rapidjson/writer.h>

#include <cstring>
#include <stdexcept>
#include <string_view>

namespace kelvarin::triggerTesting
{

namespace
{

// The first occurrence of one member, as the member readers would judge it.
struct Member
{
    enum Kind
    {
        absent,
        string,
        unsignedNumber,
        other,
    };

    Kind kind = absent;
    std::string text; // a string up to its first NUL, as a C string would end it
    std::uint64_t number = 0;

    std::string const &requireString(char const *name) const
    {
        if (kind != string)
            throw std::runtime_error(Utils::missingMemberText(name));
        return text;
    }
    std::uint64_t requireNumber(char const *name) const
    {
        if (kind != unsignedNumber)
            throw std::runtime_error(Utils::missingMemberText(name));
        return number;
    }
};

// One pass over an "execute" message: the envelope's first "type" and "data" members, the
// "data" object written out again as compact JSON as it goes by, and the first of each
// identifying member directly inside it. Whether the message is acceptable is judged only
// after the whole text has been read, so that a broken text is always "Invalid JSON" first.
class ExecuteReader
{
public:
    using Ch = char;
    using Writer = rapidjson::Writer<StringOutput>;

    ExecuteReader(std::string &dataText, std::size_t expected)
        : output(dataText, expected), writer(output, &levelAllocator)
    {
    }

    bool Null() { return scalar(Member::other) && (!copying() || writer.Null()); }
    bool Bool(bool value) { return scalar(Member::other) && (!copying() || writer.Bool(value)); }
    bool Int(int value) { return number(value >= 0, value) && (!copying() || writer.Int(value)); }
    bool Uint(unsigned value) { return number(true, value) && (!copying() || writer.Uint(value)); }
    bool Int64(std::int64_t value)
    {
        return number(value >= 0, value) && (!copying() || writer.Int64(value));
    }
    bool Uint64(std::uint64_t value)
    {
        return number(true, value) && (!copying() || writer.Uint64(value));
    }
    bool Double(double value)
    {
        return scalar(Member::other) && (!copying() || writer.Double(value));
    }
    bool RawNumber(Ch const *, rapidjson::SizeType, bool) { return false; }
    bool String(Ch const *text, rapidjson::SizeType length, bool)
    {
        if (Member *member = currentMember(); member && member->kind == Member::absent)
        {
            member->kind = Member::string;
            member->text.assign(text, ::strnlen(text, length));
        }
        return !copying() || writer.String(text, length);
    }
    bool Key(Ch const *text, rapidjson::SizeType length, bool)
    {
        std::string_view const name(text, length);
        if (depth == 1)
            rootKey = name == "type" ? &type : name == "data" ? &dataKey : nullptr;
        else if (depth == 2 && copying())
            dataMember = memberNamed(name);
        return !copying() || writer.Key(text, length);
    }
    bool StartObject()
    {
        bool const opensData = depth == 1 && rootKey == &dataKey && dataKey.kind == Member::absent;
        if (depth == 0)
            rootIsObject = true;
        else if (!opensData)
            scalar(Member::other);
        if (opensData)
            dataKey.kind = Member::other; // seen, and an object
        ++depth;
        if (opensData)
            copyingUntil = depth;
        return !copying() || writer.StartObject();
    }
    bool EndObject(rapidjson::SizeType)
    {
        bool const ok = !copying() || writer.EndObject();
        if (depth == copyingUntil)
        {
            copyingUntil = 0;
            dataIsObject = true;
        }
        --depth;
        return ok;
    }
    bool StartArray()
    {
        scalar(Member::other);
        ++depth;
        return !copying() || writer.StartArray();
    }
    bool EndArray(rapidjson::SizeType)
    {
        --depth;
        return !copying() || writer.EndArray();
    }

    // The copied "data" object gets its final size.
    void finish() { output.finish(); }

    bool rootIsObject = false;
    bool dataIsObject = false;
    Member type;
    Member testId, unitId, task, actionId;

private:
    bool copying() const { return copyingUntil != 0; }

    // The member whose value the next event is, if it is one that is looked at.
    Member *currentMember()
    {
        if (depth == 1)
            return rootKey;
        if (depth == 2 && copying())
            return dataMember;
        return nullptr;
    }
    Member *memberNamed(std::string_view name)
    {
        if (name == "test_id")
            return &testId;
        if (name == "unit_id")
            return &unitId;
        if (name == "task")
            return &task;
        if (name == "action_id")
            return &actionId;
        return nullptr;
    }
    bool scalar(Member::Kind kind)
    {
        if (Member *member = currentMember(); member && member->kind == Member::absent)
            member->kind = kind;
        return true;
    }
    bool number(bool fitsUnsigned, std::uint64_t value)
    {
        if (Member *member = currentMember(); member && member->kind == Member::absent)
        {
            member->kind = fitsUnsigned ? Member::unsignedNumber : Member::other;
            member->number = value;
        }
        return true;
    }

    StringOutput output;
    // Given an allocator, the writer does not make one of its own on the heap for each message.
    rapidjson::CrtAllocator levelAllocator;
    Writer writer;
    unsigned depth = 0;
    unsigned copyingUntil = 0; // the depth of the "data" object while it is copied
    Member dataKey;            // the first "data" member: its kind says whether it was seen
    Member *rootKey = nullptr;
    Member *dataMember = nullptr;
};

} // namespace

TestRequestJsonV1::TestRequestJsonV1(std::string text) : TestRequestJsonV1(std::string_view(text))
{
}

TestRequestJsonV1::TestRequestJsonV1(std::string_view text)
{
    // The device gets the whole "data" object, identifying members and any others alike; it is
    // never longer than the message.
    ExecuteReader message(data, text.size());
    // A NUL byte ends the message, as it would end a C string: the reader takes it for the end.
    JsonTextStream stream(text);
    bool const parsed = readJson(stream, message);
    message.finish();
    if (!parsed)
        throw std::runtime_error("Invalid JSON");
    if (!message.rootIsObject)
        throw std::runtime_error("Invalid message");
    auto const &type = message.type.requireString("type");
    if (!message.dataIsObject)
        throw std::runtime_error(Utils::missingMemberText("data"));
    if (type != "execute")
        throw std::runtime_error("Bad request");
    metadata.testId = boost::uuids::string_generator()(message.testId.requireString("test_id"));
    metadata.unitId = message.unitId.requireNumber("unit_id");
    metadata.task = message.task.requireString("task");
    metadata.actionId = message.actionId.requireNumber("action_id");
}

} // namespace kelvarin::triggerTesting
