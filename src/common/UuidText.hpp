#pragma once

#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <array>
#include <string_view>

namespace kelvarin::triggerTesting
{

// A request id as log lines and result messages write it, the 36-character lower-case form, made at
// once instead of byte by byte through the stream's formatting.
struct UuidText
{
    explicit UuidText(boost::uuids::uuid const &id) { boost::uuids::to_chars(id, text.data()); }

    std::string_view view() const { return {text.data(), text.size()}; }

    std::array<char, 36> text;
};

} // namespace kelvarin::triggerTesting
