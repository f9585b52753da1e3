#include "sim/SimApiServer.hpp"

#include "sim/SimMessages.hpp"

#include <boost/uuid/uuid_io.hpp>

#include <algorithm>

namespace kelvarin::triggerTesting::sim
{

using ConnectionId = WebSocketServer::ConnectionId;

SimApiServer::SimApiServer(boost::asio::io_context &io,
                           boost::asio::ip::tcp::endpoint const &endpoint, Settings settings,
                           Report report)
    : settings(std::move(settings)), report(std::move(report)),
      server(io, endpoint,
             {[this](ConnectionId id, std::string const &host, std::string const &)
              { onOpen(id, host); },
              [this](ConnectionId id, std::string const &text) { onMessage(id, text); },
              [this](ConnectionId id, boost::system::error_code const &ec) { onClose(id, ec); }}),
      timer(io)
{
}

void SimApiServer::start()
{
    if (settings.rate > 0 && !settings.units.empty())
        scheduleTick();
}

void SimApiServer::stop()
{
    stopped = true;
    timer.cancel();
    server.stop();
}

std::string SimApiServer::label(ConnectionId connection) const
{
    return "api " + server.describe(connection) + ": ";
}

void SimApiServer::record(EventRecord::Event event, ConnectionId connection) const
{
    if (!settings.record)
        return;
    auto const local = server.localEndpoint();
    settings.record->write(
        event.text("server", local.address().to_string() + ":" + std::to_string(local.port()))
            .number("conn", connection));
}

void SimApiServer::recordResult(ConnectionId connection, ControllerMessage const &message) const
{
    EventRecord::Event event("api_result");
    event.text("test", boost::uuids::to_string(message.testId))
        .number("unit", message.unitId)
        .text("text", message.resultText);
    if (message.isError)
        event.text("error", message.errorCode);
    record(std::move(event), connection);
}

void SimApiServer::onOpen(ConnectionId connection, std::string const &host)
{
    record(EventRecord::Event("api_open"), connection);
    report(label(connection) + "controller connected, Host " + host);
}

void SimApiServer::onClose(ConnectionId connection, boost::system::error_code const &ec)
{
    record(EventRecord::Event("api_close"), connection);
    registered.erase(connection);
    ++counts.disconnections;
    report(label(connection) + "controller disconnected: " + ec.message());
}

void SimApiServer::onMessage(ConnectionId connection, std::string const &text)
{
    auto const message = parseControllerMessage(text);
    using Kind = ControllerMessage::Kind;
    switch (message.kind)
    {
    case Kind::registration:
        registered.insert(connection);
        ++counts.controllersRegistered;
        record(EventRecord::Event("api_register"), connection);
        report(label(connection) + "controller registered: " + text);
        return;
    case Kind::result:
    {
        ++counts.resultsReceived;
        recordResult(connection, message);
        bool const own = ownTests.count(message.testId) != 0;
        if (own)
        {
            ++counts.ownResults;
            if (answeredTests.insert(message.testId).second)
                ++counts.testsAnswered;
            if (message.isError)
                ++(message.errorCode == "UNREACHABLE" ? counts.errorsUnreachable
                                                      : counts.errorsOther);
        }
        report(label(connection) + (own ? "result: " : "result (other server's test): ") + text);
        return;
    }
    case Kind::isOnlineAnswer:
        record(EventRecord::Event("api_online")
                   .number("unit", message.unitId)
                   .flag("online", message.online),
               connection);
        report(label(connection) + "online answer: " + text);
        if (!message.online)
            ++counts.offlineAnswers;
        else if (!stopped)
            sendExecute(connection, message.unitId);
        return;
    default:
        ++counts.malformed;
        report(label(connection) + "unexpected message (" +
               (message.problem.empty() ? "not for an API server" : message.problem) +
               "): " + text);
    }
}

void SimApiServer::scheduleTick()
{
    auto const period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / settings.rate));
    timer.expires_after(std::max(period, std::chrono::steady_clock::duration(1)));
    timer.async_wait(
        [this](boost::system::error_code const &ec)
        {
            if (ec || stopped)
                return;
            for (auto connection : registered)
                issueTest(connection);
            if (!registered.empty())
                nextUnit = (nextUnit + 1) % settings.units.size();
            scheduleTick();
        });
}

void SimApiServer::issueTest(ConnectionId connection)
{
    auto const unitId = settings.units[nextUnit];
    if (!settings.onlyOnline)
        return sendExecute(connection, unitId);
    ++counts.onlineQueries;
    server.send(connection, isOnlineQuery(unitId));
}

void SimApiServer::sendExecute(ConnectionId connection, std::uint64_t unitId)
{
    auto const testId = generateId();
    ownTests.insert(testId);
    ++counts.executesSent;
    record(EventRecord::Event("api_execute")
               .text("test", boost::uuids::to_string(testId))
               .number("unit", unitId),
           connection);
    auto text = executeMessage(testId, unitId, settings.task, settings.actionId);
    report(label(connection) + "execute: " + text);
    server.send(connection, std::move(text));
}

} // namespace kelvarin::triggerTesting::sim
