#pragma once

#include <array>
#include <chrono>
#include <string_view>

namespace kelvarin::triggerTesting
{

// A moment as UTC calendar time in whole seconds, 2026-12-08T09:00:00: the fraction is cut,
// never rounded up into the next second. Made at once, without the C library's formatting, as
// a listing writes thousands of them in one turn of the event loop.
struct UtcText
{
    explicit UtcText(std::chrono::system_clock::time_point time);

    std::string_view view() const { return {text.data(), text.size()}; }

    // A system clock's moment lies within the years 1678 to 2262: always four digits.
    std::array<char, 19> text;
};

} // namespace kelvarin::triggerTesting
