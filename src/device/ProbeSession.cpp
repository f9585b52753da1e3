#include "device/ProbeSession.hpp"

#include "common/AdoptConnection.hpp"
#include "common/LogLine.hpp"
#include "common/Net.hpp"
#include "common/SetNoDelay.hpp"
#include "device/DeviceError.hpp"
#include "device/DeviceProtocol.hpp"
#include "device/ProbeTracker.hpp"
#include "status/AskerCallback.hpp"

#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <exception>
#include <iostream>
#include <stdexcept>

namespace kelvarin::triggerTesting
{

ProbeSession::ProbeSession(Executor const &executor, ValidateFn &validateFn,
                           TestResultFn &testResultCallbackFn,
                           ReportDisconnectFn const &reportDisconnectFn, ProbeTracker &tracker,
                           Timeouts timeouts)
    : ws(executor), validateFn(validateFn), testResultCallbackFn(testResultCallbackFn),
      reportDisconnectFn(reportDisconnectFn), tracker(tracker),
      registration(new Registration{Timer(executor), timeouts.registration})
{
    ws.binary(true);
    ws.read_message_max(unadmittedMessageLimit);
    // Set now rather than kept until the start: every idle device would carry them.
    websocket::stream_base::timeout options{};
    options.handshake_timeout = timeouts.handshake;
    options.idle_timeout = timeouts.idle;
    options.keep_alive_pings = true;
    ws.set_option(options);
}

ProbeSession::Socket &ProbeSession::socket()
{
    return beast::get_lowest_layer(ws);
}

void ProbeSession::start()
{
    tracker.connectionOpened();
    started = true;
    tracker.enlist(*this);
    setNoDelay(socket());
    // Devices find the protocol version in the response, whether or not they asked for it.
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::response_type &response)
        { response.set(beast::http::field::sec_websocket_protocol, deviceSubprotocol); }));
    ws.async_accept(beast::bind_front_handler(&ProbeSession::onAccept, shared_from_this()));
}

void ProbeSession::onAccept(boost::system::error_code const &ec)
{
    if (stopped)
        return;
    if (ec)
    {
        std::clog << "device disconnected before receiving ID: " << ec.message() << std::endl;
        stop();
        return;
    }
    armRegistrationTimer();
    startRead();
}

void ProbeSession::armRegistrationTimer()
{
    registration->timer.expires_after(registration->allowed);
    registration->timer.async_wait(
        beast::bind_front_handler(&ProbeSession::onRegistrationTimeout, shared_from_this()));
}

void ProbeSession::onRegistrationTimeout(boost::system::error_code const &ec)
{
    if (ec || stopped || state != State::awaitingId)
        return;
    onReadFailure(DeviceError::registrationTimeout);
}

// Most devices sit idle between tests with a read pending, and a pending read holds the room it
// reads into. The wait for a message's first bytes asks for little room; the rest of the message
// follows in large steps.
constexpr std::size_t firstReadRoom = 128;
constexpr std::size_t nextReadRoom = 64 * 1024;

void ProbeSession::startRead()
{
    readSome(firstReadRoom);
}

void ProbeSession::readSome(std::size_t room)
{
    ws.async_read_some(readBuffer, room,
                       beast::bind_front_handler(&ProbeSession::onReadSome, shared_from_this()));
}

void ProbeSession::onReadSome(boost::system::error_code const &ec, std::size_t)
{
    if (!ec && !stopped && !ws.is_message_done())
    {
        if (!chargeReceived())
        {
            failConnection("receive budget exhausted");
            return;
        }
        // Before admission a message is small; no more room is taken than it can fill.
        readSome(state == State::validated ? nextReadRoom : unadmittedMessageLimit);
        return;
    }
    releaseReceiveCharge();
    onRead(ec);
}

// A message that came whole in one read is never charged: only those that wait for more.
bool ProbeSession::chargeReceived()
{
    auto const received = readBuffer.size();
    if (!tracker.receiveBudget().take(received - receiveCharge))
        return false;
    receiveCharge = static_cast<std::uint32_t>(received);
    return true;
}

void ProbeSession::releaseReceiveCharge()
{
    if (receiveCharge == 0)
        return;
    tracker.receiveBudget().give(receiveCharge);
    receiveCharge = 0;
}

void ProbeSession::onRead(boost::system::error_code const &ec)
{
    if (stopped)
        return;
    if (ec)
    {
        onReadFailure(ec);
        return;
    }
    ++messagesHandled;
    try
    {
        handleMessage();
    }
    catch (std::exception const &e)
    {
        // A device that breaks the protocol is dropped. An admitted one is reported like any
        // other closed connection: unreported, the validator would count it online for ever.
        if (state == State::awaitingId)
            std::clog << "device disconnected: " << e.what() << std::endl;
        else
            std::clog << "unitId:" << unitId << " disconnected: " << e.what() << std::endl;
        if (state == State::validated)
            reportDisconnection(clean);
        stop();
        return;
    }
    releaseReadBuffer();
    if (holding)
    {
        readParked = true;
        return;
    }
    startRead();
}

// Kept for the next message while it is small, as results usually are; not kept at the size of
// the largest message the device ever sent.
void ProbeSession::releaseReadBuffer()
{
    constexpr std::size_t keptRoom = 4096;
    readBuffer.consume(readBuffer.size());
    if (readBuffer.capacity() > keptRoom)
        readBuffer.shrink_to_fit();
}

void ProbeSession::onReadFailure(boost::system::error_code const &ec)
{
    if (state == State::awaitingId)
    {
        std::clog << "device disconnected before receiving ID: " << ec.message() << " " << ec
                  << std::endl;
    }
    else
    {
        std::clog << "unitId:" << unitId << " disconnected: " << ec.message() << " " << ec
                  << std::endl;
        if (state == State::validated)
            reportDisconnection(ec == beast::error::timeout ? timeout : clean);
    }
    stop();
}

void ProbeSession::reportDisconnection(disconnection_reason reason)
{
    // Only the connection that holds the unit's entry speaks for the unit: an older connection
    // replaced by a newer one ends silently.
    if (!reportDisconnectFn || tracker.getProbe(unitId) != shared_from_this())
        return;
    reportDisconnectFn(unitId, reason, std::chrono::system_clock::now());
}

void ProbeSession::handleMessage()
{
    std::string_view const message(static_cast<char const *>(readBuffer.data().data()),
                                   readBuffer.size());
    switch (state)
    {
    case State::awaitingId:
        handleRegisterMessage(message);
        break;
    case State::validating:
        break;
    case State::validated:
        handleResultMessage(message);
        break;
    }
}

void ProbeSession::handleRegisterMessage(std::string_view message)
{
    auto const decoded = decodeRegisterMessage(message);
    unitId = decoded.unitId;
    registration.reset();
    LogLine() << "unitId:" << DecimalText(unitId) << " received register request";
    // The validator may answer long after the device has gone; the pending validation is
    // forgotten once it has.
    validateFn(unitId, decoded.mac, validationAsker());
    // An answer given within the call has already moved the session on.
    if (state == State::awaitingId)
        state = State::validating;
}

void ProbeSession::handleResultMessage(std::string_view message)
{
    auto result = decodeResultMessage(message);
    // A large result is held once, as its text, while it travels on.
    releaseReadBuffer();
    LogLine() << "received result for requestId:" << UuidText(result.requestId)
              << " and is last: " << (result.isLast ? '1' : '0');
    Reply reply(result.requestId, Result(std::move(result.text), result.isLast));
    reply.fromUnit = unitId;
    testResultCallbackFn(std::move(reply));
}

void ProbeSession::onValidationAnswer(bool accepted)
{
    LogLine() << "unitId:" << DecimalText(unitId) << " telling to the device that validation "
              << (accepted ? '1' : '0');
    if (stopped)
        return;
    tracker.countAnswer(accepted);
    auto answer = encodeValidationAnswer(accepted);
    enqueueMessage(answer);
    if (accepted)
    {
        state = State::validated;
        ws.read_message_max(messageLimit);
        tracker.addProbe(shared_from_this());
    }
}

void ProbeSession::enqueueMessage(std::string &message)
{
    if (queuedBytes + message.size() > writeQueueLimit)
    {
        // A device that does not read its messages must not grow the controller without end.
        failConnection("write queue full");
        throw std::runtime_error("write queue full");
    }
    queuedBytes += message.size();
    writeQueue.push_back(std::move(message));
    // A message queued before the handshake completed, or after the stream closed, stays queued.
    if (ws.is_open() && !writing && !holding)
        startWriting();
}

void ProbeSession::enqueueRun(std::string &run)
{
    runsQueued = true;
    enqueueMessage(run);
}

void ProbeSession::startWriting()
{
    writing = true;
    ws.async_write(boost::asio::buffer(writeQueue.front()),
                   beast::bind_front_handler(&ProbeSession::onWrite, shared_from_this()));
}

void ProbeSession::onWrite(boost::system::error_code const &ec, std::size_t)
{
    writing = false;
    // A failed write ends the writing; the read side notices the broken connection.
    if (ec || !ws.is_open())
        return;
    queuedBytes -= writeQueue.front().size();
    writeQueue.pop_front();
    if (!writeQueue.empty() && !holding)
        startWriting();
}

// Ends the session as a failed connection of the device.
void ProbeSession::failConnection(char const *reason)
{
    if (stopped)
        return;
    if (state == State::awaitingId)
        std::clog << "device disconnected before receiving ID: " << reason << std::endl;
    else
        std::clog << "unitId:" << unitId << " disconnected: " << reason << std::endl;
    if (state == State::validated)
        reportDisconnection(clean);
    stop();
}

void ProbeSession::stop()
{
    if (stopped)
        return;
    if (state == State::validated)
        tracker.removeProbe(unitId, shared_from_this());
    if (started)
        tracker.connectionClosed();
    unlink();
    // No close handshake: the device is gone or misbehaving.
    boost::system::error_code ignored;
    socket().close(ignored);
    registration.reset();
    releaseReceiveCharge();
    stopped = true;
    // Last: what is told may answer the runs at once, and finds the session ended.
    if (runsQueued)
        tracker.sessionEnded(this);
}

void ProbeSession::hold()
{
    holding = true;
}

void ProbeSession::resume()
{
    holding = false;
    if (stopped)
        return;
    if (readParked)
    {
        readParked = false;
        startRead();
    }
    if (ws.is_open() && !writing && !writeQueue.empty())
        startWriting();
}

bool ProbeSession::atHandOverPoint() const
{
    if (stopped || !ws.is_open())
        return true; // nothing to hand over
    auto const &layer = ws.next_layer();
    return !writing && !layer.isWriting() && layer.deliveredWholeMessages() &&
           layer.messagesDelivered() == messagesHandled;
}

std::optional<DeviceHandOver> ProbeSession::handOverRecord() const
{
    if (stopped || !ws.is_open())
        return std::nullopt;
    auto const &lowest = beast::get_lowest_layer(ws);
    boost::system::error_code ec;
    auto const local = lowest.local_endpoint(ec);
    if (ec)
        return std::nullopt;
    DeviceHandOver record;
    record.descriptor = const_cast<Socket &>(lowest).native_handle();
    record.ipv6 = local.address().is_v6();
    record.unitId = unitId;
    record.state = static_cast<std::uint32_t>(state);
    record.pending = ws.next_layer().pendingBytes();
    record.unsent.assign(writeQueue.begin(), writeQueue.end());
    return record;
}

void ProbeSession::failHandOver()
{
    if (stopped)
        return;
    if (state == State::awaitingId)
    {
        std::clog << "device disconnected before receiving ID: reload" << std::endl;
    }
    else
    {
        std::clog << "unitId:" << unitId << " disconnected: reload" << std::endl;
        if (state == State::validated)
            reportDisconnection(clean);
    }
    stop();
}

std::function<void(bool)> ProbeSession::validationAsker()
{
    return AskerCallback{weak_from_this(), [](void *self, bool accepted)
                         { static_cast<ProbeSession *>(self)->onValidationAnswer(accepted); }};
}

std::error_code ProbeSession::adopt(DeviceHandOver const &record)
{
    auto const protocol = record.ipv6 ? boost::asio::ip::tcp::v6() : boost::asio::ip::tcp::v4();
    if (auto const ec = adoptAcceptedConnection(ws, record.descriptor, protocol))
        return ec;
    ws.next_layer().preload(record.pending);
    messagesHandled = ws.next_layer().messagesDelivered();
    unitId = record.unitId;
    state = static_cast<State>(record.state);
    tracker.connectionOpened();
    started = true;
    tracker.enlist(*this);
    if (state == State::awaitingId)
    {
        // The register message is waited for afresh: the handshake was made in another life.
        armRegistrationTimer();
    }
    else
    {
        registration.reset();
    }
    if (state == State::validated)
    {
        ws.read_message_max(messageLimit);
        tracker.addProbe(shared_from_this());
        // Runs may have been given to it by the previous program.
        runsQueued = true;
    }
    for (auto const &message : record.unsent)
    {
        queuedBytes += message.size();
        writeQueue.push_back(message);
    }
    startRead();
    if (!writeQueue.empty())
        startWriting();
    return {};
}

} // namespace kelvarin::triggerTesting
