#include "api/Utils.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <stdexcept>

namespace kelvarin::triggerTesting::Utils
{

namespace
{

// The first member of that name, or nullptr; names compare byte for byte.
rapidjson::Value const *findMember(rapidjson::Value const &object, std::string const &name)
{
    rapidjson::Value const key(rapidjson::StringRef(name.data(), name.size()));
    auto const member = object.FindMember(key);
    return member == object.MemberEnd() ? nullptr : &member->value;
}

} // namespace

std::uint64_t getUint64Member(rapidjson::Value const &object, std::string const &name)
{
    auto const *value = findMember(object, name);
    // The parser keeps 1234.0 and 1e3 as doubles, so IsUint64 admits integers written as such.
    if (value == nullptr || !value->IsUint64())
    {
        throw std::runtime_error(missingMemberText(name));
    }
    return value->GetUint64();
}

std::string getStringMember(rapidjson::Value const &object, std::string const &name)
{
    auto const *value = findMember(object, name);
    if (value == nullptr || !value->IsString())
    {
        throw std::runtime_error(missingMemberText(name));
    }
    // Copied as a C string: an escaped NUL inside ends the value.
    return std::string(value->GetString());
}

std::string missingMemberText(std::string const &name)
{
    return "There is no valid \"" + name + "\"";
}

std::string quoted(std::string const &text)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace kelvarin::triggerTesting::Utils
