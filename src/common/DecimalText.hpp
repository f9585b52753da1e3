#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>

namespace kelvarin::triggerTesting
{

// A unit id as log lines write it, in decimal, made at once instead of through the stream's
// number formatting.
struct DecimalText
{
    explicit DecimalText(std::uint64_t value)
        : length(static_cast<std::size_t>(
              std::to_chars(text.data(), text.data() + text.size(), value).ptr - text.data()))
    {
    }

    std::string_view view() const { return {text.data(), length}; }

    std::array<char, 20> text;
    std::size_t length;
};

} // namespace kelvarin::triggerTesting
