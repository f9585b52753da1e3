#pragma once

#include "api/Error.hpp"
#include "api/Result.hpp"

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <optional>
#include <variant>

namespace kelvarin::triggerTesting
{

// One answer to a test request: a device result or an error.
struct Reply
{
    Reply(boost::uuids::uuid id, Result result) : id(id), payload(std::move(result)) {}
    Reply(boost::uuids::uuid id, Error error) : id(id), payload(std::move(error)) {}

    // No further reply follows: an error, or a result marked last.
    bool isLast() const;

    boost::uuids::uuid id;
    std::variant<Result, Error> payload;
    // The unit whose device sent the result; empty for the controller's own errors.
    std::optional<std::uint64_t> fromUnit;
};

} // namespace kelvarin::triggerTesting
