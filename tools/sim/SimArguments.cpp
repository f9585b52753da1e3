#include "sim/SimArguments.hpp"

#include <boost/system/error_code.hpp>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <set>
#include <stdexcept>

namespace kelvarin::triggerTesting::sim
{

namespace
{

// Keeps a typing slip such as 1-100000000 from filling the memory.
constexpr std::uint64_t largestUnitList = 100000;

std::vector<std::string> splitOnCommas(std::string const &text)
{
    std::vector<std::string> items;
    std::string::size_type start = 0;
    for (;;)
    {
        auto const comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

std::uint64_t parseUnsigned(std::string const &text, std::string const &what)
{
    std::uint64_t value = 0;
    auto const *end = text.data() + text.size();
    auto const [last, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || last != end)
        throw std::invalid_argument("bad " + what + ": \"" + text + "\"");
    return value;
}

} // namespace

std::vector<std::uint64_t> parseUnitIds(std::string const &text)
{
    std::vector<std::uint64_t> ids;
    std::set<std::uint64_t> seen;
    for (auto const &item : splitOnCommas(text))
    {
        auto const dash = item.find('-');
        auto const first = parseUnsigned(item.substr(0, dash), "unit id");
        auto const last =
            dash == std::string::npos ? first : parseUnsigned(item.substr(dash + 1), "unit id");
        if (last < first)
            throw std::invalid_argument("bad unit id range: \"" + item + "\"");
        if (last - first >= largestUnitList || ids.size() + (last - first) >= largestUnitList)
            throw std::invalid_argument("unit id list too long: \"" + text + "\"");
        for (auto id = first;; ++id)
        {
            if (!seen.insert(id).second)
                throw std::invalid_argument("unit id given twice: " + std::to_string(id));
            ids.push_back(id);
            if (id == last)
                break;
        }
    }
    return ids;
}

EtherAddr parseMacAddress(std::string const &text)
{
    std::string digits = text;
    if (text.size() == 17)
    {
        char const separator = text[2];
        digits.clear();
        for (std::size_t i = 0; i < text.size(); ++i)
        {
            if (i % 3 != 2)
                digits.push_back(text[i]);
            else if (text[i] != separator || (separator != ':' && separator != '-'))
                throw std::invalid_argument("bad MAC address: \"" + text + "\"");
        }
    }
    try
    {
        return EtherAddr(digits);
    }
    catch (std::runtime_error const &)
    {
        throw std::invalid_argument("bad MAC address: \"" + text + "\"");
    }
}

std::vector<EtherAddr> parseMacList(std::string const &text)
{
    std::vector<EtherAddr> macs;
    for (auto const &item : splitOnCommas(text))
        macs.push_back(parseMacAddress(item));
    return macs;
}

boost::asio::ip::tcp::endpoint parseEndpoint(std::string const &text)
{
    auto const colon = text.rfind(':');
    if (colon == std::string::npos)
        throw std::invalid_argument("bad endpoint, expected address:port: \"" + text + "\"");
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    boost::system::error_code ec;
    auto const address = boost::asio::ip::make_address(host, ec);
    auto const port = parseUnsigned(text.substr(colon + 1), "port in \"" + text + "\"");
    if (ec || port > 65535)
        throw std::invalid_argument("bad endpoint, expected address:port: \"" + text + "\"");
    return {address, static_cast<unsigned short>(port)};
}

std::pair<std::uint64_t, Misbehaviour> parseMisbehaviour(std::string const &text)
{
    auto const equals = text.find('=');
    if (equals == std::string::npos)
        throw std::invalid_argument("bad misbehaviour, expected UNIT=MODE[:AFTER]: \"" + text +
                                    "\"");
    auto const unitId = parseUnsigned(text.substr(0, equals), "unit id");
    auto const rest = text.substr(equals + 1);
    auto const colon = rest.find(':');
    auto const mode = rest.substr(0, colon);
    Misbehaviour misbehaviour;
    if (colon != std::string::npos)
        misbehaviour.after = parseUnsigned(rest.substr(colon + 1), "run count");
    auto const named =
        std::find_if(std::begin(misbehaviourModes), std::end(misbehaviourModes),
                     [&](Misbehaviour::Mode known) { return mode == modeName(known); });
    if (named == std::end(misbehaviourModes))
        throw std::invalid_argument("bad misbehaviour mode \"" + mode +
                                    "\", expected drop, silent, malformed or oversized");
    misbehaviour.mode = *named;
    return {unitId, misbehaviour};
}

EtherAddr defaultMacFor(std::uint64_t unitId)
{
    EtherAddr::Octets octets{0x02, 0x00};
    for (std::size_t i = 0; i < 4; ++i)
        octets[2 + i] = static_cast<std::uint8_t>((unitId >> (24 - 8 * i)) & 0xFF);
    return EtherAddr(octets);
}

} // namespace kelvarin::triggerTesting::sim
