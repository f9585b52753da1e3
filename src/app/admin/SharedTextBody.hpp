#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional/optional.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace kelvarin::triggerTesting
{

// An HTTP body that answers share instead of copying: every scrape within a second is given
// the same exposition text, held until the last answer with it has been written. An empty
// body (no text) writes nothing, whatever length the head announces, as an answer to HEAD must.
struct SharedTextBody
{
    using value_type = std::shared_ptr<std::string const>;

    static std::uint64_t size(value_type const &body) { return body ? body->size() : 0; }

    class writer
    {
    public:
        using const_buffers_type = boost::asio::const_buffer;

        template <bool isRequest, class Fields>
        writer(boost::beast::http::header<isRequest, Fields> const &, value_type const &body)
            : body(body)
        {
        }

        void init(boost::system::error_code &ec) { ec = {}; }

        // The whole text in one piece, which is also the last.
        boost::optional<std::pair<const_buffers_type, bool>> get(boost::system::error_code &ec)
        {
            ec = {};
            if (!body || body->empty())
                return boost::none;
            return std::make_pair(boost::asio::buffer(*body), false);
        }

    private:
        value_type const &body;
    };
};

} // namespace kelvarin::triggerTesting
