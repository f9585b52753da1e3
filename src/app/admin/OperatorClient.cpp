#include "app/admin/OperatorClient.hpp"

#include "app/admin/OperatorQueries.hpp"
#include "common/EndpointText.hpp"
#include "common/NestingLimit.hpp"
#include "common/PeerText.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <ostream>

namespace kelvarin::triggerTesting
{

namespace
{

namespace beast = boost::beast;
namespace http = beast::http;

// The largest answer taken: a page of 1000 connections is about 150 kB.
constexpr std::size_t answerLimit = std::size_t{64} << 20;

// The "error" member of an error answer, or the body itself, as one line.
std::string errorOf(std::string const &body)
{
    // Read without recursion and within the nesting bound: whatever listens there answers.
    rapidjson::MemoryStream stream(body.data(), body.size());
    bool parsed = false;
    rapidjson::Document document;
    auto read = [&](rapidjson::Document &handler) { return parsed = readJson(stream, handler); };
    document.Populate(read);
    if (parsed && document.IsObject() && document.HasMember("error") &&
        document["error"].IsString())
        return peerTextForLog(document["error"].GetString());
    return peerTextForLog(body);
}

} // namespace

OperatorClient::OperatorClient(MetricsOptions const &options, std::ostream &out, std::ostream &err,
                               std::chrono::steady_clock::duration timeout)
    : options(options), out(out), err(err), timeout(timeout)
{
}

int OperatorClient::showDevice(std::string const &unit)
{
    // Checked here as the controller would, so that nothing but a unit id goes into the request.
    if (!parseUnitId(unit))
    {
        err << "not a unit id: " << peerTextForLog(unit) << std::endl;
        return 1;
    }
    return show("/devices/" + unit, true);
}

int OperatorClient::showStatus()
{
    return show("/status.json", false);
}

int OperatorClient::show(std::string const &target, bool notFoundIsAnAnswer)
{
    if (!options.listen)
    {
        err << "the configuration names no metrics endpoint ([metrics] listen)" << std::endl;
        return 1;
    }
    Answer answer;
    try
    {
        answer = ask(target);
    }
    catch (boost::system::system_error const &e)
    {
        err << "cannot reach the controller at " << endpointText(*options.listen) << ": "
            << e.code().message() << std::endl;
        return 1;
    }
    if (answer.status == 404 && notFoundIsAnAnswer)
    {
        err << errorOf(answer.body) << std::endl;
        return 2;
    }
    // The answer goes from the reader straight into the pretty writer, with no document: neither
    // recurses however deep it nests, and the reading stops at the nesting bound.
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>> writer(
        buffer);
    writer.SetIndent(' ', 2);
    rapidjson::MemoryStream stream(answer.body.data(), answer.body.size());
    if (answer.status != 200 || !readJson(stream, writer))
    {
        err << "the controller at " << endpointText(*options.listen) << " answered "
            << answer.status << ": " << errorOf(answer.body) << std::endl;
        return 1;
    }
    out << std::string_view(buffer.GetString(), buffer.GetSize()) << std::endl;
    return 0;
}

// One request on a connection of its own; the whole exchange has the timeout.
OperatorClient::Answer OperatorClient::ask(std::string const &target)
{
    boost::asio::io_context io;
    beast::tcp_stream stream(io);
    http::request<http::empty_body> request(http::verb::get, target, 11);
    request.set(http::field::host, endpointText(*options.listen));
    request.keep_alive(false);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(answerLimit);
    boost::system::error_code failure;
    auto const fail = [&](boost::system::error_code const &ec)
    {
        if (ec && !failure)
            failure = ec;
        return static_cast<bool>(ec);
    };
    stream.expires_after(timeout);
    stream.async_connect(*options.listen,
                         [&](boost::system::error_code const &ec)
                         {
                             if (fail(ec))
                                 return;
                             http::async_write(stream, request,
                                               [&](boost::system::error_code const &ec, std::size_t)
                                               {
                                                   if (fail(ec))
                                                       return;
                                                   http::async_read(
                                                       stream, buffer, parser,
                                                       [&](boost::system::error_code const &ec,
                                                           std::size_t) { fail(ec); });
                                               });
                         });
    io.run();
    if (failure)
        throw boost::system::system_error(failure);
    return {parser.get().result_int(), parser.get().body()};
}

} // namespace kelvarin::triggerTesting
