#include "app/admin/MetricsSession.hpp"

#include "common/Net.hpp"

#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

namespace kelvarin::triggerTesting
{

MetricsSession::MetricsSession(boost::asio::ip::tcp::socket socket,
                               MetricsRequestHandler const &handler, Limits limits, OnEnd onEnd)
    : stream(std::move(socket)), buffer(2 * limits.requestBytes), handler(handler), limits(limits),
      onEnd(std::move(onEnd))
{
}

MetricsSession::~MetricsSession()
{
    if (onEnd)
        onEnd();
}

void MetricsSession::start()
{
    readRequest();
}

void MetricsSession::readRequest()
{
    parser.emplace();
    parser->header_limit(static_cast<std::uint32_t>(limits.requestBytes));
    parser->body_limit(limits.requestBytes);
    reading = true;
    readingSince = std::chrono::steady_clock::now();
    // The body gets what the head leaves of the limit, once the head's size is known.
    stream.expires_after(limits.headTime);
    http::async_read_header(
        stream, buffer, *parser,
        beast::bind_front_handler(&MetricsSession::onHeader, shared_from_this()));
}

void MetricsSession::onHeader(boost::system::error_code const &ec, std::size_t headerBytes)
{
    if (stopped)
        return;
    if (isLimitExceeded(ec))
    {
        respond(MetricsRequestHandler::tooLarge(11));
        return;
    }
    if (ec)
    {
        stop();
        return;
    }
    // The parser bounds the request line and the fields each, and a body's announced length
    // only against its own limit when it reads the head; the limit is on the whole request.
    auto const announced = parser->content_length().value_or(0);
    if (headerBytes > limits.requestBytes || announced > limits.requestBytes - headerBytes)
    {
        respond(MetricsRequestHandler::tooLarge(parser->get().version()));
        return;
    }
    // A chunked body is counted as it comes.
    parser->body_limit(limits.requestBytes - headerBytes);
    if (parser->is_done())
    {
        onRequest({}, 0);
        return;
    }
    stream.expires_after(limits.ioTime);
    http::async_read(stream, buffer, *parser,
                     beast::bind_front_handler(&MetricsSession::onRequest, shared_from_this()));
}

void MetricsSession::onRequest(boost::system::error_code const &ec, std::size_t)
{
    if (stopped)
        return;
    if (isLimitExceeded(ec))
    {
        respond(MetricsRequestHandler::tooLarge(parser->get().version()));
        return;
    }
    if (ec)
    {
        stop();
        return;
    }
    respond(handler.handle(parser->get()));
}

bool MetricsSession::isLimitExceeded(boost::system::error_code const &ec) const
{
    return ec == http::error::header_limit || ec == http::error::body_limit ||
           ec == http::error::buffer_overflow;
}

void MetricsSession::respond(MetricsRequestHandler::Response answer)
{
    reading = false;
    response = std::move(answer);
    if (std::chrono::steady_clock::now() - started >= limits.lifetime)
        response.keep_alive(false);
    stream.expires_after(limits.ioTime);
    http::async_write(stream, response,
                      beast::bind_front_handler(&MetricsSession::onWrite, shared_from_this()));
}

void MetricsSession::onWrite(boost::system::error_code const &ec, std::size_t)
{
    if (stopped)
        return;
    if (ec || !response.keep_alive())
    {
        // The client reads the answer to the end before it sees the connection close.
        boost::system::error_code ignored;
        stream.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
        stop();
        return;
    }
    readRequest();
}

void MetricsSession::stop()
{
    if (stopped)
        return;
    stopped = true;
    boost::system::error_code ignored;
    stream.socket().close(ignored);
}

} // namespace kelvarin::triggerTesting
