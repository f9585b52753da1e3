#include "common/UtcText.hpp"

namespace kelvarin::triggerTesting
{

namespace
{

char *writeDigits(char *out, unsigned value, int digits)
{
    for (int i = digits - 1; i >= 0; --i)
    {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + digits;
}

} // namespace

UtcText::UtcText(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    auto const second = floor<seconds>(time);
    auto const day = floor<days>(second);
    year_month_day const date{day};
    hh_mm_ss const clock{second - day};
    char *out = text.data();
    out = writeDigits(out, static_cast<unsigned>(static_cast<int>(date.year())), 4);
    *out++ = '-';
    out = writeDigits(out, static_cast<unsigned>(date.month()), 2);
    *out++ = '-';
    out = writeDigits(out, static_cast<unsigned>(date.day()), 2);
    *out++ = 'T';
    out = writeDigits(out, static_cast<unsigned>(clock.hours().count()), 2);
    *out++ = ':';
    out = writeDigits(out, static_cast<unsigned>(clock.minutes().count()), 2);
    *out++ = ':';
    writeDigits(out, static_cast<unsigned>(clock.seconds().count()), 2);
}

} // namespace kelvarin::triggerTesting
