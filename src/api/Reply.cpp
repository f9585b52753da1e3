#include "api/Reply.hpp"

namespace kelvarin::triggerTesting
{

bool Reply::isLast() const
{
    auto const *result = std::get_if<Result>(&payload);
    return result == nullptr || result->isLast;
}

} // namespace kelvarin::triggerTesting
