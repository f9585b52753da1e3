#include "sim/SimDevice.hpp"

#include "device/DeviceProtocol.hpp"
#include "sim/SimMessages.hpp"

#include <boost/uuid/uuid_io.hpp>

#include <algorithm>

namespace kelvarin::triggerTesting::sim
{

using boost::system::error_code;

namespace
{

// A run answer the controller cannot read as a result: the header of one and nothing else.
std::string malformedResult()
{
    return std::string(deviceMagic) + std::string("\x02\x00\x00\x00", 4);
}

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

SimDevice::SimDevice(boost::asio::io_context &io, Settings settings, std::shared_ptr<Stats> stats,
                     Report report)
    : io(io), settings(std::move(settings)), stats(std::move(stats)), report(std::move(report)),
      retryTimer(io)
{
}

void SimDevice::start()
{
    connect();
}

void SimDevice::stop()
{
    if (stopped)
        return;
    stopped = true;
    retryTimer.cancel();
    if (link)
        link->close();
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

// Each attempt has a client of its own; its handlers keep the device alive while it lasts.
void SimDevice::connect()
{
    auto self = shared_from_this();
    WebSocketClient::Settings client;
    client.server = settings.controller;
    client.subprotocol = deviceSubprotocol;
    link = std::make_shared<WebSocketClient>(
        io, std::move(client),
        WebSocketClient::Handlers{[self](error_code const &ec) { self->onOpen(ec); },
                                  [self](std::string_view message) { self->onMessage(message); },
                                  [self](error_code const &ec) { self->onClose(ec); }});
    link->connect();
}

void SimDevice::onOpen(error_code const &ec)
{
    if (stopped)
    {
        done = done || ec.failed();
        return link->close();
    }
    if (!ec)
    {
        ++stats->connected;
        record(EventRecord::Event("dev_connected"));
        say("connected, registering with MAC " + settings.mac.toString());
        return link->send(registerMessage(settings.unitId, settings.mac));
    }
    ++stats->connectFailures;
    if (!reportedFailure)
        say("cannot connect, trying again every " + std::to_string(settings.retryDelay.count()) +
            " ms");
    reportedFailure = true;
    retryTimer.expires_after(settings.retryDelay);
    retryTimer.async_wait(
        [self = shared_from_this()](error_code const &)
        {
            if (self->stopped)
                self->done = true;
            else
                self->connect();
        });
}

void SimDevice::onClose(error_code const &ec)
{
    record(EventRecord::Event("dev_end"));
    done = true;
    if (stopped)
        return;
    ++stats->disconnected;
    say("connection ended: " + ec.message());
}

void SimDevice::onMessage(std::string_view message)
{
    if (validated)
        return onRun(message);
    auto const answer = decodeValidationAnswer(message);
    if (!answer)
    {
        ++stats->protocolErrors;
        // A run message to a device that was refused, or not yet admitted, is the controller's
        // fault; the record keeps it for the checker.
        if (auto const run = decodeRunMessage(message))
            record(EventRecord::Event("dev_run")
                       .text("test", boost::uuids::to_string(run->requestId))
                       .flag("admitted", false));
        return say("expected a validation answer, got " + std::to_string(message.size()) +
                   " bytes");
    }
    validated = *answer;
    record(EventRecord::Event("dev_validation").flag("admitted", validated));
    ++(validated ? stats->admitted : stats->refused);
    say(validated ? "admitted" : "refused, staying connected");
}

void SimDevice::onRun(std::string_view message)
{
    auto const run = decodeRunMessage(message);
    if (!run)
    {
        ++stats->protocolErrors;
        return say("expected a run message, got " + std::to_string(message.size()) + " bytes");
    }
    ++stats->runsReceived;
    auto const id = boost::uuids::to_string(run->requestId);
    record(EventRecord::Event("dev_run").text("test", id).flag("admitted", true));
    if (settings.misbehaviour.mode != Misbehaviour::Mode::none &&
        runsSeen++ >= settings.misbehaviour.after)
        return misbehave(run->requestId);
    say("run " + id + " " + run->data);
    auto const parts = std::max(settings.resultsPerRun, 1u);
    for (unsigned part = 1; part <= parts; ++part)
    {
        auto const text = resultText(part, parts);
        // Recorded when queued: a device killed during the write still has it on record, and
        // a checker tells results that failed to leave by a second event.
        record(EventRecord::Event("dev_result")
                   .text("test", id)
                   .flag("last", part == parts)
                   .text("text", text));
        link->send(resultMessage(run->requestId, part == parts, text),
                   [self = shared_from_this(), id](bool written)
                   {
                       if (written)
                           ++self->stats->resultsSent;
                       else
                           self->record(EventRecord::Event("dev_write_failed").text("test", id));
                   });
    }
}

void SimDevice::misbehave(boost::uuids::uuid const &requestId)
{
    auto const id = boost::uuids::to_string(requestId);
    auto const mode = settings.misbehaviour.mode;
    record(EventRecord::Event("dev_misbehave").text("test", id).text("mode", modeName(mode)));
    switch (mode)
    {
    case Misbehaviour::Mode::drop:
        ++stats->dropped;
        say("run " + id + ": dropping the connection on purpose");
        // Ended on purpose: the end is not counted as a disconnection.
        stopped = true;
        return link->closeSocket();
    case Misbehaviour::Mode::silent:
        ++stats->silentRuns;
        return say("run " + id + ": staying silent on purpose");
    case Misbehaviour::Mode::oversized:
        ++stats->oversizedSent;
        say("run " + id + ": answering with " + std::to_string(oversizedMessageSize) +
            " bytes on purpose");
        return link->send(oversizedResult(requestId));
    default:
        ++stats->malformedSent;
        say("run " + id + ": answering with a malformed message on purpose");
        return link->send(malformedResult());
    }
}

} // namespace kelvarin::triggerTesting::sim
