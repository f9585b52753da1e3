#pragma once

#include "status/AnswerWatch.hpp"
#include "status/EtherAddr.hpp"
#include "status/ReportBacklog.hpp"
#include "status/StatusHandOver.hpp"
#include "status/ValidateRequestsManager.hpp"
#include "status/ValidationQueue.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvarin::triggerTesting
{

// The waits of the validator connection; tests shorten them.
struct StatusTimings
{
    std::chrono::steady_clock::duration retryDelay = std::chrono::seconds(1);
    std::chrono::steady_clock::duration watchPeriod = std::chrono::seconds(60);
    std::chrono::steady_clock::duration webSocketTimeout = std::chrono::seconds(60);
    // How long a validation request may wait while nothing at all comes back from the
    // validator, before the connection counts as failed.
    std::chrono::steady_clock::duration answerTimeout = std::chrono::seconds(60);
};

// The one connection to the best API server, the validator: registration, validation requests
// and answers, disconnection reports. It reconnects for as long as it lives.
//
// Four actors share it, all on the one event loop:
// - the connection cycle, a chain of completion handlers: resolve, close the old connection,
//   connect a fresh stream, handshake, register, then read answers until the connection fails,
//   and again, at once or after the retry delay;
// - the writer, a coroutine started when there is something to write on a registered
//   connection: the validation queue first, then the report backlog. A request that is not
//   written is asked again after the next registration anyway. The writer serves one stream and
//   ends when that stream is no longer the session's;
// - the answer watch, a timer: a validator that owes answers and has said nothing for the answer
//   timeout has its connection closed, the read fails, and the cycle connects again and asks
//   again;
// - the watch loop, a coroutine that checks the host name every watch period and, when the
//   connection's address is no longer among the answers, shuts down the reading side of the
//   socket: the cycle notices the failed read and connects to the new address.
//
// A reload replaces the connection rather than handing it over: holding, the writer finishes
// its write and writes nothing more, so every report is either written or still in the backlog;
// the backlog and the pending validations go to the next program, which asks again after its
// registration, as after any reconnection. The old connection closes with the exec.
class APIStatusSession
{
public:
    using Timings = StatusTimings;
    using Endpoints = std::vector<boost::asio::ip::tcp::endpoint>;
    using ResolveHandler = std::function<void(boost::system::error_code, Endpoints)>;
    // Resolves the server's host name and service to IPv4 endpoints; completes asynchronously.
    using ResolveFn = std::function<void(ResolveHandler)>;
    using WebSocket = boost::beast::websocket::stream<boost::asio::ip::tcp::socket>;

    static constexpr std::size_t reportBacklogLimit = ReportBacklog::limit;

    APIStatusSession(boost::asio::io_context &io, std::string host, std::string service,
                     Timings timings = {}, ResolveFn resolveFn = {});
    APIStatusSession(APIStatusSession const &) = delete;
    APIStatusSession &operator=(APIStatusSession const &) = delete;

    void start();
    void validate(unsigned long const &unitId, EtherAddr const &mac,
                  std::function<void(bool)> callback, bool resend);
    void onInput(boost::system::error_code const &ec);
    // Queues the request if the connection is open, drops it otherwise; drops it too, with a
    // log line, when the queue is full.
    void enqueueValidation(ValidateMessage::IdType key);
    // Keeps the report in the backlog until it has been written, on this connection or the
    // next; the oldest report goes when the backlog is full.
    void reportDisconnection(std::string report);
    bool isOpen() const { return ws->is_open(); }
    // The validator's address, once a resolution has given one.
    std::optional<boost::asio::ip::tcp::endpoint> validatorEndpoint() const
    {
        if (endpoint == boost::asio::ip::tcp::endpoint())
            return std::nullopt;
        return endpoint;
    }
    // Devices whose validation was asked and not yet answered.
    std::size_t pendingValidations() const { return validateRequests.pending().size(); }
    // Disconnection reports not yet written.
    std::size_t reportBacklogSize() const { return reportBacklog.size(); }
    // Reports dropped at the backlog's limit since the start.
    std::uint64_t droppedReports() const { return reportBacklog.dropped(); }
    // Validation requests waiting to be written.
    std::size_t queuedValidations() const { return validateQueue.size(); }
    // Validation requests dropped at the queue's limit since the start.
    std::uint64_t droppedValidations() const { return validateQueue.dropped(); }

    // For a reload: holding, nothing more is written once the write under way is done; resume
    // undoes that when the reload failed.
    void hold();
    void resume();
    bool atHandOverPoint() const { return !writing; }
    StatusHandOver handOver() const;
    using AdoptedValidation =
        std::pair<ValidateMessage::IdType, std::vector<ValidateRequestsManager::Callback>>;
    // Takes what the previous program owed: reports after any already in the backlog, and the
    // askers of each validation, asked for once the connection is registered.
    void adopt(std::vector<std::string> reports, std::vector<AdoptedValidation> validations);

private:
    void startNetworkingLogic();
    void onResolved(boost::system::error_code const &ec, Endpoints const &endpoints);
    void continueNetworkingLogic(boost::asio::ip::tcp::endpoint const &target);
    void onConnected(boost::system::error_code const &ec);
    void onHandshake(boost::system::error_code const &ec);
    void onRegistered(boost::system::error_code const &ec);
    void readInput();
    void reconnect();
    void waitAndRetry();
    void handleMessage(std::string const &text);

    bool hasSomethingToWrite() const { return !validateQueue.empty() || !reportBacklog.empty(); }
    void giveUpOnSilence();
    bool writerDue() const;
    void startWriterIfDue();
    void writeLoop(std::shared_ptr<WebSocket> connection, boost::asio::yield_context yield);
    void watchLoop(boost::asio::yield_context yield);
    void checkEndpoint(boost::asio::yield_context yield);
    Endpoints resolve(boost::asio::yield_context yield);

    boost::asio::io_context &io;
    // A fresh stream for every connection: a stream that timed out is not fit for another
    // handshake, and a writer can tell its own connection from the next.
    std::shared_ptr<WebSocket> ws;
    std::string host;
    std::string service;
    boost::asio::steady_timer refreshTimer;
    boost::asio::ip::tcp::endpoint endpoint;
    boost::asio::ip::tcp::resolver resolver;
    ValidateRequestsManager validateRequests;
    ValidationQueue validateQueue{validateRequests};
    boost::asio::steady_timer retryTimer;
    boost::beast::flat_buffer readBuffer;

    Timings timings;
    ResolveFn resolveFn;
    ReportBacklog reportBacklog;
    bool registered = false; // the registration is written on the current stream
    std::chrono::steady_clock::time_point registeredAt{};
    bool writerRunning = false; // started, and not yet past its last write
    bool writing = false;       // a write of the writer's is under way
    bool holding = false;
    std::string registrationText;
    AnswerWatch answerWatch;
};

} // namespace kelvarin::triggerTesting
