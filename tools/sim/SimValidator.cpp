#include "sim/SimValidator.hpp"

#include "sim/SimMessages.hpp"

namespace kelvarin::triggerTesting::sim
{

using ConnectionId = WebSocketServer::ConnectionId;

SimValidator::SimValidator(boost::asio::io_context &io,
                           boost::asio::ip::tcp::endpoint const &endpoint, ValidationPolicy policy,
                           Report report, EventRecordPtr record)
    : policy(std::move(policy)), report(std::move(report)), eventRecord(std::move(record)),
      server(io, endpoint,
             {[this](ConnectionId id, std::string const &host, std::string const &)
              {
                  this->record(EventRecord::Event("val_open"), id);
                  this->report(label(id) + "controller connected, Host " + host);
              },
              [this](ConnectionId id, std::string const &text) { onMessage(id, text); },
              [this](ConnectionId id, boost::system::error_code const &ec)
              {
                  this->record(EventRecord::Event("val_close"), id);
                  ++counts.disconnections;
                  this->report(label(id) + "controller disconnected: " + ec.message());
              }})
{
}

void SimValidator::record(EventRecord::Event event, ConnectionId connection) const
{
    if (eventRecord)
        eventRecord->write(event.number("conn", connection));
}

std::string SimValidator::label(ConnectionId connection) const
{
    return "validator " + server.describe(connection) + ": ";
}

void SimValidator::onMessage(ConnectionId connection, std::string const &text)
{
    auto const message = parseControllerMessage(text);
    using Kind = ControllerMessage::Kind;
    switch (message.kind)
    {
    case Kind::registration:
        ++counts.controllersRegistered;
        record(EventRecord::Event("val_register"), connection);
        report(label(connection) + "controller registered: " + text);
        return;
    case Kind::validate:
    {
        ++counts.validateRequests;
        bool const admitted = policy.admits(message.unitId, message.mac);
        ++(admitted ? counts.admitted : counts.refused);
        record(EventRecord::Event("val_validate")
                   .number("unit", message.unitId)
                   .text("mac", message.mac.toString())
                   .flag("admitted", admitted),
               connection);
        auto answer = validateAnswer(message.unitId, message.mac, admitted);
        report(label(connection) + "validate: " + text + " -> " + answer);
        server.send(connection, std::move(answer));
        return;
    }
    case Kind::disconnection:
        ++(message.reason == "timeout" ? counts.disconnectionsTimeout : counts.disconnectionsClean);
        record(EventRecord::Event("val_disconnect")
                   .number("unit", message.unitId)
                   .text("reason", message.reason)
                   .text("time", message.time),
               connection);
        report(label(connection) + "disconnection reported: " + text);
        return;
    default:
        ++counts.malformed;
        report(label(connection) + "unexpected message (" +
               (message.problem.empty() ? "not for a validator" : message.problem) + "): " + text);
    }
}

} // namespace kelvarin::triggerTesting::sim
