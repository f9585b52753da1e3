#include "api/APISession.hpp"

#include "api/APISessionMessages.hpp"
#include "api/IsOnlineJson.hpp"
#include "api/TestRequestJsonV1.hpp"
#include "common/AdoptConnection.hpp"
#include "common/Coroutine.hpp"
#include "common/EndpointText.hpp"
#include "common/LogLine.hpp"
#include "common/Net.hpp"
#include "common/SetNoDelay.hpp"
#include "common/WithoutThrowing.hpp"
#include "status/SetKeepAlive.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>

#include <exception>
#include <iostream>

namespace kelvarin::triggerTesting
{

using boost::system::error_code;
using net::ip::tcp;

APISession::APISession(net::io_context &io, std::string host, tcp::endpoint endpoint,
                       RequestHandler requestHandler, IsOnlineHandler isOnlineHandler,
                       Timings timings, std::shared_ptr<APIQueueBudget> budget)
    : io(io), stream(std::make_shared<WebSocket>(io.get_executor())), host(std::move(host)),
      endpoint(std::move(endpoint)),
      writeQueue(budget ? std::move(budget) : std::make_shared<APIQueueBudget>(io, 0),
                 this->endpoint),
      requestHandler(std::move(requestHandler)), isOnlineHandler(std::move(isOnlineHandler)),
      timings(timings), retryTimer(io.get_executor()), holdTimer(io.get_executor()),
      connectionStrand(io.get_executor()), writerStrand(io.get_executor())
{
}

APISession::~APISession() = default;

void APISession::start()
{
    spawnCoroutine(connectionStrand,
                   [self = shared_from_this()](Yield yield) { self->runConnection(yield); });
}

void APISession::enqueueMessage(std::string const &message)
{
    enqueue(shareText(message));
}

void APISession::sendResult(std::string message)
{
    enqueue(shareText(std::move(message)));
}

void APISession::sendResult(SharedText message)
{
    enqueue(std::move(message));
}

void APISession::enqueue(SharedText message)
{
    if (writeQueue.push(std::move(message)))
        startWriterIfDue();
}

// Nothing queued goes out before the registration, which is written directly. Held for a
// reload, the queue stays as it is, to be handed over or written after the resume.
bool APISession::writerDue() const
{
    return connected && !stopped && !holding && stream->is_open() && !writeQueue.empty();
}

// Every place that may make a writer due calls this: two writers would write on one stream at
// once.
void APISession::startWriterIfDue()
{
    if (writerRunning || !writerDue())
        return;
    writerRunning = true;
    spawnCoroutine(writerStrand,
                   [self = shared_from_this()](Yield yield)
                   {
                       auto const connection = self->stream;
                       self->writeQueued(connection, yield);
                       self->writerRunning = false;
                       // A newer connection may have been registered while this writer was
                       // finishing with its own: the queue goes on there.
                       self->startWriterIfDue();
                   });
}

error_code APISession::openSocket()
{
    auto &socket = boost::beast::get_lowest_layer(*stream);
    error_code ec;
    socket.open(tcp::v4(), ec);
    if (!ec)
        setKeepAlive(socket, ec);
    if (!ec)
        setNoDelay(socket);
    if (ec)
    {
        error_code ignored;
        socket.close(ignored);
    }
    return ec;
}

void APISession::stop()
{
    error_code ignored;
    boost::beast::get_lowest_layer(*stream).close(ignored);
    stopped = true;
    holdTimer.cancel();
    writeQueue.discardUnsent();
}

void APISession::runConnection(Yield yield)
{
    // An adopted connection is registered already: it is served at once.
    bool registered = std::exchange(adopted, false);
    while (!stopped)
    {
        if (registered || establishConnection(yield))
            serveConnection(yield);
        registered = false;
    }
}

// One attempt: false, after the retry delay, when it failed.
bool APISession::establishConnection(Yield yield)
{
    closeWebSocket(yield);
    // No new connection while held: the reload hands over the queue, not a half-made connection.
    waitWhileHeld(yield);
    if (stopped) // while the old connection was closed
        return false;
    error_code ec = renewSocket();
    std::clog << "Connecting main: " << endpoint << std::endl;
    if (!ec)
        ec = connect(yield);
    if (ec)
    {
        std::clog << "Connecting wait: " << endpoint << " " << ec.message() << std::endl;
        retryTimer.expires_after(timings.retryDelay);
        error_code ignored;
        retryTimer.async_wait(yield[ignored]);
        return false;
    }
    std::clog << "Connected main: " << endpoint << std::endl;
    return true;
}

void APISession::serveConnection(Yield yield)
{
    auto const registeredAt = std::chrono::steady_clock::now();
    connected = true;
    startWriterIfDue();
    readMessages(yield);
    connected = false;
    // A server that drops every connection at once is not hammered: one attempt a second.
    waitBeforeNextAttempt(registeredAt + timings.retryDelay, yield);
}

void APISession::waitWhileHeld(Yield yield)
{
    while (holding && !stopped)
    {
        holdTimer.expires_at(std::chrono::steady_clock::time_point::max());
        error_code ignored;
        holdTimer.async_wait(yield[ignored]);
    }
}

void APISession::waitBeforeNextAttempt(std::chrono::steady_clock::time_point until, Yield yield)
{
    if (std::chrono::steady_clock::now() >= until)
        return;
    retryTimer.expires_at(until);
    error_code ignored;
    retryTimer.async_wait(yield[ignored]);
}

void APISession::closeWebSocket(Yield yield)
{
    if (!stream->is_open())
        return;
    error_code ignored;
    stream->async_close(websocket::close_reason(), yield[ignored]);
}

// A fresh stream and socket for each attempt: a WebSocket stream that timed out is not fit for
// another handshake. A writer of the previous connection keeps the old stream until it ends. A
// failure here counts as a failed attempt.
error_code APISession::renewSocket()
{
    error_code ignored;
    boost::beast::get_lowest_layer(*stream).close(ignored);
    stream = std::make_shared<WebSocket>(io.get_executor());
    messagesHandled = 0;
    return openSocket();
}

error_code APISession::connect(Yield yield)
{
    auto &socket = boost::beast::get_lowest_layer(*stream);
    error_code ec;
    if (!socket.is_open())
        socket.open(endpoint.protocol(), ec);
    if (ec)
        return ec;
    socket.async_connect(endpoint, yield[ec]);
    if (ec)
        return ec;
    setTimeouts();
    ec = withoutThrowing(
        [&]
        {
            error_code handshake;
            stream->async_handshake(host, "/", yield[handshake]);
            return handshake;
        });
    if (ec)
        return ec;
    std::string const hostName = net::ip::host_name(ec);
    if (ec)
        return ec;
    // Written directly: nothing queued may go out before the registration.
    std::string const registration = buildRegistrationMessage(hostName);
    stream->text(true);
    stream->async_write(net::buffer(registration), yield[ec]);
    return ec;
}

// A server that never finishes the handshake, or falls silent later, is given up on.
void APISession::setTimeouts()
{
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = timings.handshakeTimeout;
    timeouts.idle_timeout = timings.idleTimeout;
    timeouts.keep_alive_pings = true;
    stream->set_option(timeouts);
}

void APISession::readMessages(Yield yield)
{
    boost::beast::flat_buffer buffer;
    // A stopped session reads nothing more, not even what waits in the layer.
    while (stream->is_open() && !stopped)
    {
        error_code ec;
        stream->async_read(buffer, yield[ec]);
        if (ec)
            return;
        ++messagesHandled;
        std::string_view const text(static_cast<char const *>(buffer.data().data()), buffer.size());
        LogLine() << "Received message from API: ---" << PeerText{text} << "---";
        dispatch(text);
        buffer.consume(buffer.size());
        // Held, the next message stays unread: in the socket, or in the layer's pending bytes.
        waitWhileHeld(yield);
    }
}

// A message is tried as a test request first, then as an online query. What is neither, or
// fails its checks, is dropped; the server is not told.
void APISession::dispatch(std::string_view text)
{
    try
    {
        TestRequestJsonV1 request(text);
        requestHandler(request);
        return;
    }
    catch (...)
    {
    }
    try
    {
        IsOnlineJson query{std::string(text)};
        bool const online = isOnlineHandler(query.unitId);
        enqueueMessage(buildIsOnlineAnswer(query.unitId, online));
    }
    catch (...)
    {
        std::clog << "Couldn't parse message" << std::endl;
    }
}

void APISession::writeQueued(std::shared_ptr<WebSocket> const &connection, Yield yield)
{
    connection->text(true);
    // A writer left over from a dropped connection must not write beside the registration of
    // the next one.
    while (connection == stream && writerDue())
    {
        // What is queued goes out in one system call: each message but the last is gathered by
        // the layer, and the last write takes them all. They leave the queue once it is done.
        auto const batch = writeQueue.beginWrite();
        auto &layer = connection->next_layer();
        error_code ec;
        for (std::size_t i = 0; i < batch && !ec; ++i)
        {
            SharedText const message = writeQueue.messages()[i];
            LogLine() << "Writing message to API: ---" << PeerText{*message} << "---";
            layer.gatherWrites(i + 1 < batch);
            connection->async_write(net::buffer(message->view()), yield[ec]);
        }
        layer.gatherWrites(false);
        writeQueue.endWrite(!ec);
    }
}

void APISession::hold()
{
    holding = true;
}

void APISession::resume()
{
    holding = false;
    holdTimer.cancel();
    startWriterIfDue();
}

bool APISession::atHandOverPoint() const
{
    if (stopped || !connected)
        return true; // only the queue goes over
    auto const &layer = stream->next_layer();
    return !writeQueue.isWriting() && !layer.isWriting() && layer.deliveredWholeMessages() &&
           layer.messagesDelivered() == messagesHandled;
}

APISessionHandOver APISession::handOverRecord() const
{
    APISessionHandOver record;
    record.endpoint = endpointText(endpoint);
    if (connected && !stopped && boost::beast::get_lowest_layer(*stream).is_open())
    {
        record.descriptor = boost::beast::get_lowest_layer(*stream).native_handle();
        record.pending = stream->next_layer().pendingBytes();
    }
    record.unsent.assign(writeQueue.messages().begin(), writeQueue.messages().end());
    record.dropped = writeQueue.dropped();
    return record;
}

void APISession::failHandOver()
{
    if (atHandOverPoint())
        return;
    error_code ignored;
    boost::beast::get_lowest_layer(*stream).close(ignored);
}

error_code APISession::adoptConnection(int descriptor, std::string const &pending)
{
    auto fresh = std::make_shared<WebSocket>(io.get_executor());
    if (auto const ec = adoptConnectedConnection(*fresh, descriptor, endpoint.protocol(), host))
        return ec;
    error_code ignored;
    boost::beast::get_lowest_layer(*stream).close(ignored);
    stream = std::move(fresh);
    setTimeouts();
    stream->next_layer().preload(pending);
    messagesHandled = stream->next_layer().messagesDelivered();
    adopted = true;
    return {};
}

std::error_code APISession::adopt(APISessionHandOver const &record)
{
    error_code ec;
    writeQueue.setDropped(record.dropped);
    if (record.descriptor >= 0)
        ec = adoptConnection(record.descriptor, record.pending);
    // Before anything the adopted connection brings: those answers come after these.
    for (auto const &message : record.unsent)
        enqueue(message);
    start();
    return ec;
}

} // namespace kelvarin::triggerTesting
