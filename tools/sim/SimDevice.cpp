#include "sim/SimDevice.hpp"

#include "device/DeviceProtocol.hpp"
#include "sim/RethrowFailure.hpp"
#include "sim/SimMessages.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>

namespace kelvarin::triggerTesting::sim
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;

namespace
{

// A run answer the controller cannot read as a result: the header of one and nothing else.
std::string const malformedResult("\x46\x9B\x34\xA5\x02\x00\x00\x00", 8);

// One byte above the largest message a Beast peer reads by default.
constexpr std::size_t oversizedMessageSize = 16 * 1024 * 1024 + 1;

// A well-formed result whose text makes the whole message oversizedMessageSize bytes long.
std::string oversizedResult(boost::uuids::uuid const &requestId)
{
    auto const frame = resultMessage(requestId, true, "{\"pad\":\"\"}");
    std::string const padding(oversizedMessageSize - frame.size(), 'x');
    return resultMessage(requestId, true, "{\"pad\":\"" + padding + "\"}");
}

} // namespace

SimDevice::SimDevice(net::io_context &io, Settings settings, std::shared_ptr<Stats> stats,
                     Report report)
    : io(io), settings(std::move(settings)), stats(std::move(stats)), report(std::move(report)),
      retryTimer(io)
{
}

void SimDevice::start()
{
    net::spawn(
        io, [self = shared_from_this()](net::yield_context yield) { self->run(yield); },
        rethrowFailure);
}

void SimDevice::stop()
{
    if (stopped)
        return;
    stopped = true;
    retryTimer.cancel();
    if (ws && !writing)
        closeConnection();
}

void SimDevice::closeConnection()
{
    if (closing)
        return;
    closing = true;
    if (ws->is_open())
    {
        // The pending read sees the close complete and ends the coroutine.
        ws->async_close(websocket::close_code::normal,
                        [self = shared_from_this()](error_code const &) {});
        return;
    }
    error_code ignored;
    ws->next_layer().close(ignored);
}

void SimDevice::say(std::string const &text) const
{
    report("device " + std::to_string(settings.unitId) + ": " + text);
}

void SimDevice::record(EventRecord::Event event) const
{
    if (settings.record)
        settings.record->write(event.number("unit", settings.unitId));
}

void SimDevice::run(net::yield_context yield)
{
    bool reportedFailure = false;
    while (!stopped)
    {
        if (connect(yield))
        {
            serve(yield);
            record(EventRecord::Event("dev_end"));
            break;
        }
        if (stopped)
            break;
        ++stats->connectFailures;
        if (!reportedFailure)
            say("cannot connect, trying again every " +
                std::to_string(settings.retryDelay.count()) + " ms");
        reportedFailure = true;
        retryTimer.expires_after(settings.retryDelay);
        error_code ignored;
        retryTimer.async_wait(yield[ignored]);
    }
    done = true;
}

bool SimDevice::connect(net::yield_context yield)
{
    ws.emplace(io);
    ws->binary(true);
    ws->set_option(websocket::stream_base::timeout::suggested(beast::role_type::client));
    std::string const subprotocol(deviceSubprotocol);
    ws->set_option(websocket::stream_base::decorator(
        [subprotocol](websocket::request_type &request)
        { request.set(beast::http::field::sec_websocket_protocol, subprotocol); }));
    error_code ec;
    ws->next_layer().async_connect(settings.controller, yield[ec]);
    if (!ec && !stopped)
        ws->async_handshake(settings.controller.address().to_string(), "/", yield[ec]);
    if (ec || stopped)
        return false;
    ++stats->connected;
    record(EventRecord::Event("dev_connected"));
    say("connected, registering with MAC " + settings.mac.toString());
    return write(registerMessage(settings.unitId, settings.mac), yield);
}

void SimDevice::serve(net::yield_context yield)
{
    beast::flat_buffer buffer;
    error_code ec;
    while (!stopped)
    {
        ws->async_read(buffer, yield[ec]);
        if (ec)
            break;
        auto const message = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        if (!onMessage(message, yield))
            return;
    }
    if (stopped)
        return;
    ++stats->disconnected;
    say("connection ended: " + ec.message());
}

bool SimDevice::onMessage(std::string const &message, net::yield_context yield)
{
    if (validated)
        return onRun(message, yield);
    auto const answer = decodeValidationAnswer(message);
    if (!answer)
    {
        ++stats->protocolErrors;
        recordUnexpected(message);
        say("expected a validation answer, got " + std::to_string(message.size()) + " bytes");
        return true;
    }
    validated = *answer;
    record(EventRecord::Event("dev_validation").flag("admitted", validated));
    ++(validated ? stats->admitted : stats->refused);
    say(validated ? "admitted" : "refused, staying connected");
    return true;
}

bool SimDevice::onRun(std::string const &message, net::yield_context yield)
{
    auto const run = decodeRunMessage(message);
    if (!run)
    {
        ++stats->protocolErrors;
        say("expected a run message, got " + std::to_string(message.size()) + " bytes");
        return true;
    }
    ++stats->runsReceived;
    auto const id = boost::uuids::to_string(run->requestId);
    record(EventRecord::Event("dev_run").text("test", id).flag("admitted", true));
    bool const misbehaving = settings.misbehaviour.mode != Misbehaviour::Mode::none &&
                             runsSeen++ >= settings.misbehaviour.after;
    if (misbehaving)
        return misbehave(run->requestId, yield);
    say("run " + id + " " + run->data);
    auto const parts = std::max(settings.resultsPerRun, 1u);
    for (unsigned part = 1; part <= parts; ++part)
    {
        auto const text = resultText(part, parts);
        // Recorded before it is written: a device killed during the write still has it on
        // record, and a checker tells results that failed to leave by the second event.
        record(EventRecord::Event("dev_result")
                   .text("test", id)
                   .flag("last", part == parts)
                   .text("text", text));
        if (!write(resultMessage(run->requestId, part == parts, text), yield))
        {
            record(EventRecord::Event("dev_write_failed").text("test", id));
            return false;
        }
        ++stats->resultsSent;
    }
    return true;
}

bool SimDevice::misbehave(boost::uuids::uuid const &requestId, net::yield_context yield)
{
    auto const id = boost::uuids::to_string(requestId);
    auto const mode = settings.misbehaviour.mode;
    record(EventRecord::Event("dev_misbehave").text("test", id).text("mode", modeName(mode)));
    switch (mode)
    {
    case Misbehaviour::Mode::drop:
    {
        ++stats->dropped;
        say("run " + id + ": dropping the connection on purpose");
        error_code ignored;
        ws->next_layer().close(ignored);
        return false;
    }
    case Misbehaviour::Mode::silent:
        ++stats->silentRuns;
        say("run " + id + ": staying silent on purpose");
        return true;
    case Misbehaviour::Mode::oversized:
        ++stats->oversizedSent;
        say("run " + id + ": answering with " + std::to_string(oversizedMessageSize) +
            " bytes on purpose");
        return write(oversizedResult(requestId), yield);
    default:
        ++stats->malformedSent;
        say("run " + id + ": answering with a malformed message on purpose");
        return write(malformedResult, yield);
    }
}

void SimDevice::recordUnexpected(std::string const &message) const
{
    // A run message to a device that was refused, or not yet admitted, is the controller's
    // fault; the record keeps it for the checker.
    if (auto const run = decodeRunMessage(message))
        record(EventRecord::Event("dev_run")
                   .text("test", boost::uuids::to_string(run->requestId))
                   .flag("admitted", false));
}

bool SimDevice::write(std::string const &message, net::yield_context yield)
{
    error_code ec;
    writing = true;
    ws->async_write(net::buffer(message), yield[ec]);
    writing = false;
    // A stop that came while the write was under way left the closing to this point.
    if (stopped)
        closeConnection();
    return !ec;
}

} // namespace kelvarin::triggerTesting::sim
