#include "status/APIStatusSession.hpp"

#include "common/Coroutine.hpp"
#include "common/Net.hpp"
#include "common/SetNoDelay.hpp"
#include "status/AskerCallback.hpp"
#include "status/SetKeepAlive.hpp"
#include "status/StatusMessages.hpp"
#include "status/ValidateAnswer.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <stdexcept>

namespace kelvarin::triggerTesting
{

using boost::asio::ip::tcp;
using boost::system::error_code;

namespace
{

// A failure at a step the session cannot go on from without breaking its own bookkeeping.
[[noreturn]] void abortOnException(std::exception_ptr failure)
{
    try
    {
        std::rethrow_exception(failure);
    }
    catch (std::exception const &e)
    {
        std::clog << "API Status: Exception: " << e.what() << std::endl;
    }
    catch (...)
    {
        std::clog << "API Status: Exception" << std::endl;
    }
    std::abort();
}

} // namespace

APIStatusSession::APIStatusSession(boost::asio::io_context &io, std::string host,
                                   std::string service, Timings timings, ResolveFn resolveFn)
    : io(io), ws(std::make_shared<WebSocket>(io)), host(std::move(host)),
      service(std::move(service)), refreshTimer(io), resolver(io), retryTimer(io), timings(timings),
      resolveFn(std::move(resolveFn)),
      answerWatch(io, timings.answerTimeout, [this] { giveUpOnSilence(); })
{
    if (!this->resolveFn)
    {
        this->resolveFn = [this](ResolveHandler handler)
        {
            resolver.async_resolve(
                tcp::v4(), this->host, this->service,
                [handler](error_code const &ec, tcp::resolver::results_type const &results)
                {
                    Endpoints endpoints;
                    for (auto const &entry : results)
                        endpoints.push_back(entry.endpoint());
                    handler(ec, std::move(endpoints));
                });
        };
    }
}

void APIStatusSession::start()
{
    spawnCoroutine(boost::asio::make_strand(io),
                   [this](boost::asio::yield_context yield) { watchLoop(yield); });
    startNetworkingLogic();
}

void APIStatusSession::startNetworkingLogic()
{
    std::clog << "API Status: Connecting" << std::endl;
    registered = false;
    // Every pending validation is asked again after the next registration.
    validateQueue.clear();
    answerWatch.heard();
    // Whatever a failed read left behind belongs to the connection that is gone.
    readBuffer.consume(readBuffer.size());
    try
    {
        resolveFn([this](error_code ec, Endpoints endpoints) { onResolved(ec, endpoints); });
    }
    catch (...)
    {
        abortOnException(std::current_exception());
    }
}

void APIStatusSession::onResolved(error_code const &ec, Endpoints const &endpoints)
{
    if (ec || endpoints.empty())
    {
        waitAndRetry();
        return;
    }
    endpoint = endpoints.front();
    std::clog << "API Status: Cleaning" << std::endl;
    if (ws->is_open())
        ws->async_close(websocket::close_code::none,
                        [this](error_code const &) { continueNetworkingLogic(endpoint); });
    else
        continueNetworkingLogic(endpoint);
}

void APIStatusSession::continueNetworkingLogic(tcp::endpoint const &target)
{
    error_code ignored;
    ws->next_layer().close(ignored);
    ws = std::make_shared<WebSocket>(io);
    auto &socket = ws->next_layer();
    try
    {
        socket.open(target.protocol());
        setKeepAlive(socket);
        setNoDelay(socket);
    }
    catch (std::exception const &e)
    {
        // Out of descriptors, for instance: a failed attempt like any other.
        std::clog << "API Status: Socket failed: " << e.what() << std::endl;
        socket.close(ignored);
        waitAndRetry();
        return;
    }
    std::clog << "API Status: Connect TCP" << std::endl;
    socket.async_connect(target, [this](error_code const &ec) { onConnected(ec); });
}

void APIStatusSession::onConnected(error_code const &ec)
{
    if (ec)
    {
        waitAndRetry();
        return;
    }
    websocket::stream_base::timeout timeout;
    timeout.handshake_timeout = timings.webSocketTimeout;
    timeout.idle_timeout = timings.webSocketTimeout;
    timeout.keep_alive_pings = true;
    ws->set_option(timeout);
    std::clog << "API Status: Connect Websocket" << std::endl;
    ws->async_handshake(host, "/", [this](error_code const &ec) { onHandshake(ec); });
}

void APIStatusSession::onHandshake(error_code const &ec)
{
    if (ec)
    {
        waitAndRetry();
        return;
    }
    std::clog << "API Status: Connect TT" << std::endl;
    registrationText = buildValidatorRegistration(boost::asio::ip::host_name());
    ws->async_write(boost::asio::buffer(registrationText),
                    [this](error_code const &ec, std::size_t) { onRegistered(ec); });
}

void APIStatusSession::onRegistered(error_code const &ec)
{
    if (ec)
    {
        waitAndRetry();
        return;
    }
    try
    {
        std::clog << "API Status: Connect Success" << std::endl;
        std::clog << "API Status: Cleaning up" << std::endl;
        // Requests left over from the previous connection are asked again below.
        validateQueue.clear();
        answerWatch.heard();
        registered = true;
        registeredAt = std::chrono::steady_clock::now();
        // Askers whose devices have gone meanwhile are not asked for again.
        validateRequests.dropGoneAskers();
        for (auto const &[key, waiters] : validateRequests.pending())
            validate(key.unitId, key.mac, {}, true);
        startWriterIfDue();
        std::clog << "API Status: Entering input loop" << std::endl;
        readInput();
    }
    catch (...)
    {
        abortOnException(std::current_exception());
    }
}

void APIStatusSession::readInput()
{
    if (!ws->is_open())
    {
        std::clog << "API Status: Input loop failed with" << std::endl;
        reconnect();
        return;
    }
    ws->async_read(readBuffer, [this](error_code const &ec, std::size_t) { onInput(ec); });
}

// At once after a connection that lasted, but not more often than once a retry delay: a
// validator that drops every connection right after the registration is not hammered.
void APIStatusSession::reconnect()
{
    auto const earliest = registeredAt + timings.retryDelay;
    if (std::chrono::steady_clock::now() >= earliest)
    {
        startNetworkingLogic();
        return;
    }
    retryTimer.expires_at(earliest);
    retryTimer.async_wait([this](error_code const &) { startNetworkingLogic(); });
}

void APIStatusSession::waitAndRetry()
{
    retryTimer.expires_after(timings.retryDelay);
    retryTimer.async_wait([this](error_code const &) { startNetworkingLogic(); });
}

void APIStatusSession::validate(unsigned long const &unitId, EtherAddr const &mac,
                                std::function<void(bool)> callback, bool resend)
{
    std::clog << "API status: requested validate for unitId: [" << unitId << "] mac: ["
              << mac.toString() << "]" << std::endl;
    ValidateMessage::IdType const key{unitId, mac};
    // Stored first: the queue keeps only requests that someone waits for.
    if (!resend)
        validateRequests.storeRequestCallback(key, std::move(callback));
    enqueueValidation(key);
}

void APIStatusSession::onInput(error_code const &ec)
{
    if (ec)
    {
        std::clog << "API Status: Input loop failed with" << ec.message() << std::endl;
        reconnect();
        return;
    }
    // Whatever it is, the validator is alive.
    answerWatch.heard();
    auto const text = boost::beast::buffers_to_string(readBuffer.data());
    try
    {
        handleMessage(text);
    }
    catch (std::exception const &e)
    {
        std::clog << "Could not handle API message: " << e.what() << std::endl;
    }
    readBuffer.consume(readBuffer.size());
    readInput();
}

void APIStatusSession::handleMessage(std::string const &text)
{
    auto const answer = parseValidateAnswer(text);
    auto callback = validateRequests.takeRequestCallback(answer.key);
    bool const valid = answer.requireResult();
    std::clog << "API Status: received validate result for unitId:" << answer.key.unitId
              << " and is: " << valid << std::endl;
    callback(valid);
}

void APIStatusSession::enqueueValidation(ValidateMessage::IdType key)
{
    if (!ws->is_open() || !validateQueue.push(key))
        return;
    // The registration is written directly; queued requests wait until it is done.
    if (!registered)
        return;
    answerWatch.expectAnswer();
    startWriterIfDue();
}

void APIStatusSession::giveUpOnSilence()
{
    // Only a registered connection owes answers: every connection cycle begins owing nothing.
    std::clog << "API Status: no answer for "
              << std::chrono::duration<double>(timings.answerTimeout).count()
              << " s to a validation request, giving up the connection" << std::endl;
    // The pending read fails, and with it the connection, as any failed read does; a write
    // stuck on the full socket ends too.
    error_code ignored;
    ws->next_layer().close(ignored);
}

void APIStatusSession::reportDisconnection(std::string report)
{
    reportBacklog.push(std::move(report));
    startWriterIfDue();
}

// Writes go on the registered connection only: the registration is written before anything
// queued. Held for a reload, nothing more is written, so that the backlog handed over is exactly
// what is still owed.
bool APIStatusSession::writerDue() const
{
    return registered && !holding && ws->is_open() && hasSomethingToWrite();
}

// Every place that may make a writer due calls this: two writers would write on one stream at
// once.
void APIStatusSession::startWriterIfDue()
{
    if (writerRunning || !writerDue())
        return;
    writerRunning = true;
    spawnCoroutine(boost::asio::make_strand(io),
                   [this, connection = ws](boost::asio::yield_context yield)
                   { writeLoop(connection, yield); });
}

void APIStatusSession::writeLoop(std::shared_ptr<WebSocket> connection,
                                 boost::asio::yield_context yield)
{
    // The writer serves its own connection only; a newer one gets a writer of its own.
    while (connection == ws && writerDue())
    {
        // Written from a copy: the queue may be emptied and the backlog cut while it is written.
        std::string text;
        std::uint64_t report = 0;
        if (auto const key = validateQueue.take())
            text = buildValidateRequest(key->unitId, key->mac);
        else if (auto next = reportBacklog.next())
        {
            text = std::move(next->text);
            report = next->number;
        }
        else
            break;
        error_code ec;
        writing = true;
        connection->async_write(boost::asio::buffer(text), yield[ec]);
        writing = false;
        if (ec)
            break;
        if (report != 0)
            reportBacklog.written(report);
    }
    writerRunning = false;
    // A newer connection may have been registered while this writer was finishing with its own.
    startWriterIfDue();
}

void APIStatusSession::hold()
{
    holding = true;
}

void APIStatusSession::resume()
{
    holding = false;
    startWriterIfDue();
}

StatusHandOver APIStatusSession::handOver() const
{
    StatusHandOver handOver;
    handOver.reports = reportBacklog.texts();
    for (auto const &[key, waiters] : validateRequests.pending())
    {
        StatusHandOver::Validation validation{key, {}};
        for (auto const &waiter : waiters)
        {
            auto const *asker = waiter.target<AskerCallback>();
            if (auto const held = asker ? asker->asker.lock() : nullptr)
                validation.askers.push_back(held.get());
        }
        // A validation nobody waits for any more is not asked again.
        if (!validation.askers.empty())
            handOver.validations.push_back(std::move(validation));
    }
    return handOver;
}

void APIStatusSession::adopt(std::vector<std::string> reports,
                             std::vector<AdoptedValidation> validations)
{
    for (auto &report : reports)
        reportDisconnection(std::move(report));
    for (auto &[key, askers] : validations)
    {
        for (auto &asker : askers)
            validateRequests.storeRequestCallback(key, std::move(asker));
        // Before the registration, that asks for every pending validation anyway, this does
        // nothing.
        if (registered)
            enqueueValidation(key);
    }
}

void APIStatusSession::watchLoop(boost::asio::yield_context yield)
{
    for (;;)
    {
        try
        {
            refreshTimer.expires_after(timings.watchPeriod);
            refreshTimer.async_wait(yield);
            checkEndpoint(yield);
        }
        catch (boost::system::system_error const &e)
        {
            if (e.code() != boost::asio::error::operation_aborted)
                std::clog << e.what() << std::endl;
        }
    }
}

void APIStatusSession::checkEndpoint(boost::asio::yield_context yield)
{
    auto const endpoints = resolve(yield);
    if (endpoints.empty())
    {
        std::clog << "API Status: " << host << " resolved to no address, staying with " << endpoint
                  << std::endl;
        return;
    }
    // With several addresses for the name, the current one is as good as any of them.
    if (std::find(endpoints.begin(), endpoints.end(), endpoint) != endpoints.end())
        return;
    std::clog << "Updating API Status to " << endpoints.front() << std::endl;
    ws->next_layer().shutdown(tcp::socket::shutdown_receive);
}

APIStatusSession::Endpoints APIStatusSession::resolve(boost::asio::yield_context yield)
{
    return boost::asio::async_initiate<boost::asio::yield_context, void(error_code, Endpoints)>(
        [this](auto handler)
        {
            auto shared = std::make_shared<decltype(handler)>(std::move(handler));
            resolveFn([shared](error_code ec, Endpoints endpoints)
                      { (*shared)(ec, std::move(endpoints)); });
        },
        yield);
}

} // namespace kelvarin::triggerTesting
