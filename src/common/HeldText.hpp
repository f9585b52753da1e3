#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace kelvarin::triggerTesting
{

// Bytes kept either in a string of their own or where something else keeps them: a reload maps
// the large texts it takes over from the state the previous program wrote, instead of copying
// them, and the keeper (the mapping) goes with the last text that refers to it.
class HeldText
{
public:
    HeldText() = default;
    HeldText(std::string text) : owned(std::move(text)) {}
    HeldText(char const *text) : owned(text) {}
    HeldText(std::shared_ptr<void const> keeper, std::string_view bytes)
        : keeper(std::move(keeper)), kept(bytes)
    {
    }

    std::string_view view() const { return keeper ? kept : std::string_view(owned); }
    operator std::string_view() const { return view(); }
    std::size_t size() const { return view().size(); }
    // The room of its own string, or the size of the bytes kept elsewhere.
    std::size_t capacity() const { return keeper ? kept.size() : owned.capacity(); }
    // Whether the bytes are kept elsewhere, not in a string of their own.
    bool isKeptElsewhere() const { return keeper != nullptr; }

    friend bool operator==(HeldText const &a, std::string_view b) { return a.view() == b; }
    friend std::ostream &operator<<(std::ostream &out, HeldText const &text)
    {
        return out << text.view();
    }

private:
    std::string owned;
    std::shared_ptr<void const> keeper;
    std::string_view kept;
};

} // namespace kelvarin::triggerTesting
