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

    // Later occurrences of the member change nothing.
    void note(Kind seen)
    {
        if (kind == absent)
            kind = seen;
    }
    void noteString(char const *characters, std::size_t length)
    {
        if (kind != absent)
            return;
        kind = string;
        text.assign(characters, ::strnlen(characters, length));
    }
    void noteNumber(bool fitsUnsigned, std::uint64_t value)
    {
        if (kind != absent)
            return;
        kind = fitsUnsigned ? unsignedNumber : other;
        number = value;
    }

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

// Writes the "data" object out again as compact JSON as it is read, and notes the first of each
// identifying member directly inside it. It is given the object's events only, from its opening
// to its end, and copies every one of them.
class DataObjectCopy
{
public:
    using Ch = char;
    using Writer = rapidjson::Writer<StringOutput>;

    DataObjectCopy(std::string &text, std::size_t expected)
        : output(text, expected), writer(output, &levelAllocator)
    {
    }

    bool Null() { return noteValue(Member::other) && writer.Null(); }
    bool Bool(bool value) { return noteValue(Member::other) && writer.Bool(value); }
    bool Int(int value) { return noteNumber(value >= 0, value) && writer.Int(value); }
    bool Uint(unsigned value) { return noteNumber(true, value) && writer.Uint(value); }
    bool Int64(std::int64_t value) { return noteNumber(value >= 0, value) && writer.Int64(value); }
    bool Uint64(std::uint64_t value) { return noteNumber(true, value) && writer.Uint64(value); }
    bool Double(double value) { return noteValue(Member::other) && writer.Double(value); }
    bool RawNumber(Ch const *, rapidjson::SizeType, bool) { return false; }
    bool String(Ch const *text, rapidjson::SizeType length, bool)
    {
        if (Member *member = currentMember())
            member->noteString(text, length);
        return writer.String(text, length);
    }
    bool Key(Ch const *text, rapidjson::SizeType length, bool)
    {
        if (depth == 1)
            nextMember = memberNamed(std::string_view(text, length));
        return writer.Key(text, length);
    }
    bool StartObject()
    {
        noteValue(Member::other);
        ++depth;
        return writer.StartObject();
    }
    bool EndObject(rapidjson::SizeType)
    {
        --depth;
        return writer.EndObject();
    }
    bool StartArray()
    {
        noteValue(Member::other);
        ++depth;
        return writer.StartArray();
    }
    bool EndArray(rapidjson::SizeType)
    {
        --depth;
        return writer.EndArray();
    }

    // Between the object's opening and its end.
    bool isOpen() const { return depth != 0; }
    // The copy gets its final size.
    void finish() { output.finish(); }

    Member testId, unitId, task, actionId;

private:
    // The member whose value the next event is, if it is one that is looked at.
    Member *currentMember() { return depth == 1 ? nextMember : nullptr; }
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
    bool noteValue(Member::Kind kind)
    {
        if (Member *member = currentMember())
            member->note(kind);
        return true;
    }
    bool noteNumber(bool fitsUnsigned, std::uint64_t value)
    {
        if (Member *member = currentMember())
            member->noteNumber(fitsUnsigned, value);
        return true;
    }

    StringOutput output;
    // Given an allocator, the writer does not make one of its own on the heap for each message.
    rapidjson::CrtAllocator levelAllocator;
    Writer writer;
    unsigned depth = 0; // 1 directly inside the object
    Member *nextMember = nullptr;
};

// One pass over an "execute" message: the envelope's first "type" and "data" members, and,
// when that "data" is an object, its events handed on to the copy. Whether the message is
// acceptable is judged only after the whole text has been read, so that a broken text is always
// "Invalid JSON" first.
class ExecuteReader
{
public:
    using Ch = char;

    ExecuteReader(std::string &dataText, std::size_t expected) : data(dataText, expected) {}

    bool Null() { return data.isOpen() ? data.Null() : noteValue(Member::other); }
    bool Bool(bool value) { return data.isOpen() ? data.Bool(value) : noteValue(Member::other); }
    bool Int(int value) { return data.isOpen() ? data.Int(value) : noteValue(Member::other); }
    bool Uint(unsigned value)
    {
        return data.isOpen() ? data.Uint(value) : noteValue(Member::other);
    }
    bool Int64(std::int64_t value)
    {
        return data.isOpen() ? data.Int64(value) : noteValue(Member::other);
    }
    bool Uint64(std::uint64_t value)
    {
        return data.isOpen() ? data.Uint64(value) : noteValue(Member::other);
    }
    bool Double(double value)
    {
        return data.isOpen() ? data.Double(value) : noteValue(Member::other);
    }
    bool RawNumber(Ch const *, rapidjson::SizeType, bool) { return false; }
    bool String(Ch const *text, rapidjson::SizeType length, bool copy)
    {
        if (data.isOpen())
            return data.String(text, length, copy);
        if (depth == 1 && rootKey)
            rootKey->noteString(text, length);
        return true;
    }
    bool Key(Ch const *text, rapidjson::SizeType length, bool copy)
    {
        if (data.isOpen())
            return data.Key(text, length, copy);
        std::string_view const name(text, length);
        if (depth == 1)
            rootKey = name == "type" ? &type : name == "data" ? &dataKey : nullptr;
        return true;
    }
    bool StartObject()
    {
        if (data.isOpen())
            return data.StartObject();
        if (depth == 1 && rootKey == &dataKey && dataKey.kind == Member::absent)
        {
            dataKey.kind = Member::other; // seen, and an object
            return data.StartObject();
        }
        if (depth == 0)
            rootIsObject = true;
        noteValue(Member::other);
        ++depth;
        return true;
    }
    bool EndObject(rapidjson::SizeType count)
    {
        if (!data.isOpen())
        {
            --depth;
            return true;
        }
        bool const ok = data.EndObject(count);
        if (!data.isOpen())
            dataIsObject = true;
        return ok;
    }
    bool StartArray()
    {
        if (data.isOpen())
            return data.StartArray();
        noteValue(Member::other);
        ++depth;
        return true;
    }
    bool EndArray(rapidjson::SizeType count)
    {
        if (data.isOpen())
            return data.EndArray(count);
        --depth;
        return true;
    }

    // The copied "data" object gets its final size.
    void finish() { data.finish(); }

    bool rootIsObject = false;
    bool dataIsObject = false;
    Member type;
    DataObjectCopy data;

private:
    // A value directly inside the envelope; only whether "type" is a string, and whether "data"
    // came first as something else than an object, matter.
    bool noteValue(Member::Kind kind)
    {
        if (depth == 1 && rootKey)
            rootKey->note(kind);
        return true;
    }

    unsigned depth = 0; // the envelope's own: it stays at 1 while "data" is copied
    Member dataKey;     // the first "data" member: its kind says whether it was seen
    Member *rootKey = nullptr;
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
    auto const &ids = message.data;
    metadata.testId = boost::uuids::string_generator()(ids.testId.requireString("test_id"));
    metadata.unitId = ids.unitId.requireNumber("unit_id");
    metadata.task = ids.task.requireString("task");
    metadata.actionId = ids.actionId.requireNumber("action_id");
}

} // namespace kelvarin::triggerTesting
