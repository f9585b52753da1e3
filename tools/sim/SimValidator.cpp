#include "sim/SimValidator.hpp"

#include "sim/SimMessages.hpp"

namespace kelvarin::triggerTesting::sim
{

using ConnectionId = WebSocketServer::ConnectionId;

SimValidator::SimValidator(boost::asio::io_context &io,
                           boost::asio::ip::tcp::endpoint const &endpoint, ValidationPolicy policy,
                           Report report)
    : policy(std::move(policy)), report(std::move(report)),
      server(io, endpoint,
             {[this](ConnectionId id, std::string const &host)
              { this->report(label(id) + "controller connected, Host " + host); },
              [this](ConnectionId id, std::string const &text) { onMessage(id, text); },
              [this](ConnectionId id, boost::system::error_code const &ec)
              {
                  ++counts.disconnections;
                  this->report(label(id) + "controller disconnected: " + ec.message());
              }})
{
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
        report(label(connection) + "controller registered: " + text);
        return;
    case Kind::validate:
    {
        ++counts.validateRequests;
        bool const admitted = policy.admits(message.unitId, message.mac);
        ++(admitted ? counts.admitted : counts.refused);
        auto answer = validateAnswer(message.unitId, message.mac, admitted);
        report(label(connection) + "validate: " + text + " -> " + answer);
        server.send(connection, std::move(answer));
        return;
    }
    case Kind::disconnection:
        ++(message.reason == "timeout" ? counts.disconnectionsTimeout : counts.disconnectionsClean);
        report(label(connection) + "disconnection reported: " + text);
        return;
    default:
        ++counts.malformed;
        report(label(connection) + "unexpected message (" +
               (message.problem.empty() ? "not for a validator" : message.problem) + "): " + text);
    }
}

} // namespace kelvarin::triggerTesting::sim
