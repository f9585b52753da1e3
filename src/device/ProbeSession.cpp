#include "device/ProbeSession.hpp"

#include "common/LogLine.hpp"
#include "common/Net.hpp"
#include "common/SetNoDelay.hpp"
#include "device/DeviceError.hpp"
#include "device/DeviceProtocol.hpp"
#include "device/ProbeTracker.hpp"
#include "status/AskerCallback.hpp"

#include <boost/asio/error.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <exception>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace kelvarin::triggerTesting
{

bool ProbeSession::Timeouts::watched(std::chrono::steady_clock::duration limit)
{
    return limit > std::chrono::steady_clock::duration::zero() &&
           limit != std::chrono::steady_clock::duration::max();
}

// Often enough that a deadline is noticed within a sixteenth of it, and no more than once a
// millisecond or less than once a second.
std::chrono::steady_clock::duration ProbeSession::Timeouts::sweepTick() const
{
    auto shortest = std::chrono::steady_clock::duration(std::chrono::seconds(1)) * 16;
    for (auto const limit : {idle, registration})
        if (watched(limit))
            shortest = std::min(shortest, limit);
    return std::clamp<std::chrono::steady_clock::duration>(
        shortest / 16, std::chrono::milliseconds(1), std::chrono::seconds(1));
}

ProbeSession::ProbeSession(Executor const &executor, ValidateFn &validateFn,
                           TestResultFn &testResultCallbackFn,
                           ReportDisconnectFn const &reportDisconnectFn, ProbeTracker &tracker,
                           Timeouts timeouts)
    : connection(executor), validateFn(validateFn), testResultCallbackFn(testResultCallbackFn),
      reportDisconnectFn(reportDisconnectFn), tracker(tracker), timeouts(timeouts)
{
}

void ProbeSession::start(bool isIpv6)
{
    ipv6 = isIpv6;
    connectedAt = std::chrono::system_clock::now();
    tracker.connectionOpened();
    started = true;
    tracker.enlist(*this, connection.get_executor(), timeouts.sweepTick());
    setNoDelay(connection);
    ws.emplace(DeviceStreamPool::forHandshake(connection.get_executor(), connection, frames,
                                              timeouts.handshake));
    ws->read_message_max(unadmittedMessageLimit);
    // The handshake reads and writes through the stream: it stays lent until it is done.
    reading = true;
    ws->async_accept(beast::bind_front_handler(&ProbeSession::onAccept, shared_from_this()));
}

void ProbeSession::onAccept(boost::system::error_code const &ec)
{
    reading = false;
    if (stopped)
        return;
    if (ec)
    {
        std::clog << "device disconnected before receiving ID: " << ec.message() << std::endl;
        stop();
        return;
    }
    beginAdmission();
    readNext();
}

// From the end of the handshake the register message is awaited; a connection taken over from
// another program waits only for what was left of that time.
void ProbeSession::beginAdmission(std::optional<std::chrono::milliseconds> registrationLeft)
{
    open = true;
    auto const now = std::chrono::steady_clock::now();
    heard(now);
    registrationDeadline = now + (registrationLeft ? std::min<std::chrono::steady_clock::duration>(
                                                         *registrationLeft, timeouts.registration)
                                                   : timeouts.registration);
}

void ProbeSession::checkDeadlines(std::chrono::steady_clock::time_point now)
{
    if (stopped || !open)
        return;
    if (state == State::awaitingId && Timeouts::watched(timeouts.registration) &&
        now >= registrationDeadline)
    {
        onReadFailure(DeviceError::registrationTimeout);
        return;
    }
    if (!Timeouts::watched(timeouts.idle))
        return;
    auto const silent = now - lastHeard;
    if (silent >= timeouts.idle)
    {
        onReadFailure(beast::error::timeout);
        return;
    }
    if (silent >= timeouts.idle / 2 && !pinged && !holding && !sendingControl)
    {
        pinged = true;
        sendControl(true, {});
    }
}

void ProbeSession::heard(std::chrono::steady_clock::time_point when)
{
    lastHeard = when;
    pinged = false;
}

// Between messages: pings are answered and pongs dropped here; a data message (or anything else)
// is read through a stream; with nothing, or only part of a ping or pong, the session waits for
// more bytes.
void ProbeSession::readNext()
{
    if (stopped)
        return;
    if (holding)
    {
        readParked = true;
        giveBackStreamIfIdle();
        return;
    }
    if (!answerControlFrames())
        return;
    if (!frames.pending.empty() &&
        leadingControlFrame(frames.pending).kind == LeadingControlFrame::other)
    {
        readMessage();
        return;
    }
    giveBackStreamIfIdle();
    waitForBytes();
}

// False while a ping waits for the answer to the one before it, which goes on from here.
bool ProbeSession::answerControlFrames()
{
    for (;;)
    {
        auto frame = leadingControlFrame(frames.pending);
        if (frame.kind == LeadingControlFrame::pong)
        {
            frames.pending.erase(0, frame.length);
            continue;
        }
        if (frame.kind != LeadingControlFrame::ping)
            return true;
        if (sendingControl)
            return false;
        frames.pending.erase(0, frame.length);
        sendControl(false, frame.payload);
    }
}

// The session's own read, into room of its own, so that an idle connection holds no stream and
// no read buffer; the bytes then go to the stream as what the connection holds.
void ProbeSession::waitForBytes()
{
    waitingBytes = true;
    connection.async_read_some(
        boost::asio::buffer(firstBytes),
        beast::bind_front_handler(&ProbeSession::onBytes, shared_from_this()));
}

// For a connection just taken over: its bytes, if any came during the hand-over, are reported
// at once by the registration of its descriptor, so readiness can be waited for without a read
// that would find nothing for most of them.
void ProbeSession::waitUntilReadable()
{
    waitingBytes = true;
    connection.async_wait(Socket::wait_read,
                          [self = shared_from_this()](boost::system::error_code const &ec)
                          {
                              self->waitingBytes = false;
                              if (self->stopped)
                                  return;
                              if (ec && ec != boost::asio::error::operation_aborted)
                              {
                                  self->onReadFailure(ec);
                                  return;
                              }
                              self->readNext();
                          });
}

void ProbeSession::onBytes(boost::system::error_code const &ec, std::size_t received)
{
    waitingBytes = false;
    if (stopped)
        return;
    // Cancelled for a hold, which keeps what came.
    if (ec == boost::asio::error::operation_aborted)
    {
        readNext();
        return;
    }
    if (ec)
    {
        onReadFailure(ec);
        return;
    }
    heard(std::chrono::steady_clock::now());
    frames.pending.append(firstBytes.data(), received);
    readNext();
}

void ProbeSession::readMessage()
{
    auto &stream = borrowStream();
    stream.read_message_max(state == State::validated ? messageLimit : unadmittedMessageLimit);
    reading = true;
    readSome(firstReadRoom);
}

// A message's first bytes ask for little room; the rest of the message follows in large steps.
constexpr std::size_t nextReadRoom = 64 * 1024;

void ProbeSession::readSome(std::size_t room)
{
    ws->async_read_some(readBuffer, room,
                        beast::bind_front_handler(&ProbeSession::onReadSome, shared_from_this()));
}

void ProbeSession::onReadSome(boost::system::error_code const &ec, std::size_t)
{
    if (!ec && !stopped)
        heard(std::chrono::steady_clock::now());
    if (!ec && !stopped && !ws->is_message_done())
    {
        if (!chargeReceived())
        {
            reading = false;
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
    reading = false;
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
        end("device disconnected: ", e.what(), clean);
        return;
    }
    releaseReadBuffer();
    readNext();
}

void ProbeSession::releaseReadBuffer()
{
    constexpr std::size_t keptRoom = 4096;
    readBuffer.consume(readBuffer.size());
    if (readBuffer.capacity() > keptRoom)
        readBuffer.shrink_to_fit();
}

void ProbeSession::onReadFailure(boost::system::error_code const &ec)
{
    std::ostringstream why;
    why << ec.message() << " " << ec;
    end(beforeIdPrefix, why.str(), ec == beast::error::timeout ? timeout : clean);
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
    mac = decoded.mac;
    registeredAt = std::chrono::system_clock::now();
    tracker.indexUnit(*this);
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
    refused = !accepted;
    auto answer = encodeValidationAnswer(accepted);
    enqueueMessage(answer);
    if (accepted)
    {
        state = State::validated;
        admittedAt = std::chrono::system_clock::now();
        if (ws)
            ws->read_message_max(messageLimit);
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
    startWriterIfDue();
}

void ProbeSession::enqueueRun(std::string &run)
{
    runsQueued = true;
    enqueueMessage(run);
}

// The one place that decides whether the writer starts: a message queued before the handshake
// completed, while the session is held, or after it ended stays queued, and a write under way
// goes on with the next message itself.
void ProbeSession::startWriterIfDue()
{
    if (open && !stopped && !writing && !holding && !writeQueue.empty())
        startWriting();
}

void ProbeSession::startWriting()
{
    writing = true;
    borrowStream().async_write(
        boost::asio::buffer(writeQueue.front()),
        beast::bind_front_handler(&ProbeSession::onWrite, shared_from_this()));
}

void ProbeSession::onWrite(boost::system::error_code const &ec, std::size_t)
{
    writing = false;
    if (stopped)
        return;
    // A failed write ends the writing; the read side notices the broken connection. The stream
    // is not used again.
    if (ec || !ws->is_open())
    {
        if (!reading && !sendingControl)
            ws.reset();
        return;
    }
    queuedBytes -= writeQueue.front().size();
    writeQueue.pop_front();
    startWriterIfDue();
    if (writing)
        return;
    giveBackStreamIfIdle();
    stopWaitingForBytesIfHeld();
}

// A ping of the session's own (isPing), or the answer to the device's.
void ProbeSession::sendControl(bool isPing, std::string const &payload)
{
    sendingControl = true;
    auto &stream = borrowStream();
    websocket::ping_data const data(payload.data(), payload.size());
    auto handler = beast::bind_front_handler(&ProbeSession::onControlSent, shared_from_this());
    if (isPing)
        stream.async_ping(data, std::move(handler));
    else
        stream.async_pong(data, std::move(handler));
}

void ProbeSession::onControlSent(boost::system::error_code const &ec)
{
    sendingControl = false;
    if (stopped)
        return;
    if (ec || !ws->is_open())
    {
        if (!reading && !writing)
            ws.reset();
        return;
    }
    // A ping that waited for this answer is answered now.
    if (!reading && !waitingBytes)
        readNext();
    else
        giveBackStreamIfIdle();
    stopWaitingForBytesIfHeld();
}

ProbeSession::WebSocket &ProbeSession::borrowStream()
{
    if (!ws)
        ws.emplace(tracker.streams().lend(connection.get_executor(), connection, frames,
                                          timeouts.handshake));
    return *ws;
}

// Between messages, with nothing being written, the stream holds nothing of the connection.
void ProbeSession::giveBackStreamIfIdle()
{
    if (!ws || reading || writing || sendingControl || stopped)
        return;
    if (ws->is_open() && frames.deliveredWholeMessages() && !frames.writing)
        tracker.streams().giveBack(std::move(*ws));
    ws.reset();
}

void ProbeSession::failConnection(char const *reason)
{
    end(beforeIdPrefix, reason, clean);
}

// Every end but the controller's own stop: one line that says why (its start depends on whether
// the device had sent its id), the unit's disconnection reported when it was admitted, and the
// session stopped.
void ProbeSession::end(char const *unregisteredPrefix, std::string_view why,
                       disconnection_reason reason)
{
    if (stopped)
        return;
    if (state == State::awaitingId)
        std::clog << unregisteredPrefix << why << std::endl;
    else
        std::clog << "unitId:" << unitId << " disconnected: " << why << std::endl;
    if (state == State::validated)
        reportDisconnection(reason);
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
    tracker.delist(*this);
    // No close handshake: the device is gone or misbehaving. A stream lent to it stays with the
    // session: its operations end with the connection.
    boost::system::error_code ignored;
    connection.close(ignored);
    releaseReceiveCharge();
    stopped = true;
    // Last: what is told may answer the runs at once, and finds the session ended.
    if (runsQueued)
        tracker.sessionEnded(this);
}

std::function<void(bool)> ProbeSession::validationAsker()
{
    return AskerCallback{weak_from_this(), [](void *self, bool accepted)
                         { static_cast<ProbeSession *>(self)->onValidationAnswer(accepted); }};
}

DeviceConnectionView::State ProbeSession::viewState() const
{
    if (state == State::validated)
        return DeviceConnectionView::State::admitted;
    return refused ? DeviceConnectionView::State::refused : DeviceConnectionView::State::validating;
}

DeviceConnectionView ProbeSession::view() const
{
    DeviceConnectionView view;
    view.unitId = unitId;
    view.state = viewState();
    view.mac = mac;
    if (peer.port() != 0)
        view.peer = peer;
    view.connectedAt = connectedAt;
    view.registeredAt = registeredAt;
    if (state == State::validated)
        view.admittedAt = admittedAt;
    view.queuedBytes = queuedBytes;
    view.session = this;
    return view;
}

} // namespace kelvarin::triggerTesting
