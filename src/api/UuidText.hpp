#pragma once

#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <array>
#include <ostream>

namespace kelvarin::triggerTesting
{

// A request id as log lines write it, the 36-character lower-case form, made at once instead of
// byte by byte through the stream's formatting.
struct UuidText
{
    explicit UuidText(boost::uuids::uuid const &id) { boost::uuids::to_chars(id, text.data()); }

    std::array<char, 36> text;
};

inline std::ostream &operator<<(std::ostream &out, UuidText const &id)
{
    return out.write(id.text.data(), static_cast<std::streamsize>(id.text.size()));
}

} // namespace kelvarin::triggerTesting
