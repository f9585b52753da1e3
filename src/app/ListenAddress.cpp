#include "app/ListenAddress.hpp"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string_view>

namespace kelvarin::triggerTesting
{

namespace
{

[[noreturn]] void reject(std::string const &text)
{
    throw std::runtime_error("metrics.listen: \"" + text +
                             "\" is not an address and port such as 127.0.0.1:9120 or "
                             "[::1]:9120");
}

unsigned short parsePort(std::string_view digits, std::string const &text)
{
    // At most five digits, so the value cannot overflow before it is checked.
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; }))
        reject(text);
    unsigned long port = 0;
    for (char digit : digits)
        port = port * 10 + static_cast<unsigned long>(digit - '0');
    if (port == 0 || port > 65535)
        reject(text);
    return static_cast<unsigned short>(port);
}

} // namespace

boost::asio::ip::tcp::endpoint parseListenAddress(std::string const &text)
{
    std::string_view const whole(text);
    boost::system::error_code ec;
    boost::asio::ip::address address;
    std::string_view port;
    if (whole.starts_with('['))
    {
        auto const close = whole.find("]:");
        if (close == std::string_view::npos)
            reject(text);
        address = boost::asio::ip::make_address_v6(std::string(whole.substr(1, close - 1)), ec);
        port = whole.substr(close + 2);
    }
    else
    {
        auto const colon = whole.rfind(':');
        if (colon == std::string_view::npos)
            reject(text);
        address = boost::asio::ip::make_address_v4(std::string(whole.substr(0, colon)), ec);
        port = whole.substr(colon + 1);
    }
    if (ec)
        reject(text);
    return {address, parsePort(port, text)};
}

} // namespace kelvarin::triggerTesting
