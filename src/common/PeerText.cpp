#include "common/PeerText.hpp"

#include "common/DecimalText.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <sstream>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kelvarin::triggerTesting
{

namespace
{

constexpr bool isControl(char c)
{
    auto const byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// Whether any of the eight bytes of the word is a control character: below 0x20, or DEL (the
// classic tests for a byte below n and for a zero byte, which never miss one).
constexpr bool anyControl(std::uint64_t word)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highBits = 0x8080808080808080;
    auto const below = [](std::uint64_t w, std::uint64_t n) { return (w - ones * n) & ~w; };
    return ((below(word, 0x20) | below(word ^ (ones * 0x7f), 1)) & highBits) != 0;
}

// Where the run of bytes from begin that stand for themselves ends. Every API message of every
// test passes here twice or more, so sixteen bytes are looked at a time where the processor
// can, else eight, while that many remain.
char const *endOfPlainRun(char const *begin, char const *end)
{
#ifdef __SSE2__
    __m128i const lastControl = _mm_set1_epi8(0x1f);
    __m128i const del = _mm_set1_epi8(0x7f);
    while (end - begin >= 16)
    {
        __m128i const bytes = _mm_loadu_si128(reinterpret_cast<__m128i const *>(begin));
        __m128i const below = _mm_cmpeq_epi8(_mm_min_epu8(bytes, lastControl), bytes);
        if (_mm_movemask_epi8(_mm_or_si128(below, _mm_cmpeq_epi8(bytes, del))) != 0)
            break;
        begin += 16;
    }
#endif
    std::uint64_t word;
    while (end - begin >= static_cast<std::ptrdiff_t>(sizeof word))
    {
        std::memcpy(&word, begin, sizeof word);
        if (anyControl(word))
            break;
        begin += sizeof word;
    }
    while (begin != end && !isControl(*begin))
        ++begin;
    return begin;
}

void put(std::streambuf &out, std::string_view piece)
{
    out.sputn(piece.data(), static_cast<std::streamsize>(piece.size()));
}

void putEscaped(std::streambuf &out, char c)
{
    switch (c)
    {
    case '\n':
        put(out, "\\n");
        return;
    case '\r':
        put(out, "\\r");
        return;
    case '\t':
        put(out, "\\t");
        return;
    default:
        break;
    }
    constexpr char digits[] = "0123456789abcdef";
    auto const byte = static_cast<unsigned char>(c);
    std::array<char, 4> const escape{'\\', 'x', digits[byte >> 4], digits[byte & 0xf]};
    put(out, {escape.data(), escape.size()});
}

} // namespace

void writePeerText(std::streambuf &out, std::string_view text)
{
    auto const shown = text.substr(0, peerTextLogLimit);
    char const *position = shown.data();
    char const *const end = position + shown.size();
    while (position != end)
    {
        char const *const runEnd = endOfPlainRun(position, end);
        put(out, {position, static_cast<std::size_t>(runEnd - position)});
        if (runEnd == end)
            break;
        putEscaped(out, *runEnd);
        position = runEnd + 1;
    }
    if (text.size() > shown.size())
    {
        put(out, " ... (");
        put(out, DecimalText(text.size()).view());
        put(out, " bytes)");
    }
}

std::string peerTextForLog(std::string_view text)
{
    std::stringbuf out;
    writePeerText(out, text);
    return std::move(out).str();
}

} // namespace kelvarin::triggerTesting
