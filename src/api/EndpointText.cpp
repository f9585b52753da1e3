#include "api/EndpointText.hpp"

#include <boost/asio/ip/address.hpp>

#include <charconv>
#include <cstdint>
#include <sstream>

namespace kelvarin::triggerTesting
{

std::string endpointText(boost::asio::ip::tcp::endpoint const &endpoint)
{
    std::ostringstream text;
    text << endpoint;
    return text.str();
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
