#include "common/EndpointText.hpp"

#include <boost/asio/ip/address.hpp>

#include <charconv>
#include <cstdint>

namespace kelvarin::triggerTesting
{

namespace
{

void appendNumber(std::string &text, unsigned value)
{
    char digits[8];
    auto const end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, end);
}

} // namespace

std::string endpointText(boost::asio::ip::tcp::endpoint const &endpoint)
{
    // As the library's stream output writes it, without a stream or the C library's formatted
    // output: a listing writes thousands in one turn of the event loop.
    auto const address = endpoint.address();
    std::string text;
    text.reserve(64);
    if (address.is_v6())
        text.append("[").append(address.to_string()).append("]");
    else
        for (auto const byte : address.to_v4().to_bytes())
        {
            if (!text.empty())
                text.push_back('.');
            appendNumber(text, byte);
        }
    text.push_back(':');
    appendNumber(text, endpoint.port());
    return text;
}

std::optional<boost::asio::ip::tcp::endpoint> parseEndpointText(std::string_view text)
{
    auto const colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    auto address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    auto const portText = text.substr(colon + 1);
    std::uint16_t port = 0;
    auto const [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (error != std::errc() || end != portText.data() + portText.size() || portText.empty())
        return std::nullopt;
    boost::system::error_code ec;
    auto const parsed = boost::asio::ip::make_address(std::string(address), ec);
    if (ec)
        return std::nullopt;
    return boost::asio::ip::tcp::endpoint(parsed, port);
}

} // namespace kelvarin::triggerTesting
