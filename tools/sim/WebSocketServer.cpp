#include "sim/WebSocketServer.hpp"

#include "sim/RethrowFailure.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <deque>
#include <map>

namespace kelvarin::triggerTesting::sim
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::system::error_code;
using net::ip::tcp;

namespace
{

struct Connection
{
    explicit Connection(tcp::socket socket) : ws(std::move(socket)) {}

    websocket::stream<tcp::socket> ws;
    std::deque<std::string> outbox;
    bool open = false;
};

} // namespace

struct WebSocketServer::State : std::enable_shared_from_this<WebSocketServer::State>
{
    State(net::io_context &io, Handlers handlers) : acceptor(io), handlers(std::move(handlers)) {}

    void acceptLoop(net::yield_context yield)
    {
        while (!stopped)
        {
            error_code ec;
            tcp::socket socket = acceptor.async_accept(yield[ec]);
            if (stopped)
                return;
            if (ec)
                continue;
            // Small messages leave at once instead of waiting for the peer's delayed ACK, so
            // the latencies the benchmark takes are the controller's, not Nagle's.
            socket.set_option(tcp::no_delay(true), ec);
            auto const id = nextId++;
            auto connection = std::make_shared<Connection>(std::move(socket));
            connections.emplace(id, connection);
            net::spawn(
                acceptor.get_executor(),
                [self = shared_from_this(), id, connection](net::yield_context yield)
                { self->serve(id, connection, yield); },
                rethrowFailure);
        }
    }

    void serve(ConnectionId id, std::shared_ptr<Connection> connection, net::yield_context yield)
    {
        error_code ec;
        beast::flat_buffer buffer;
        http::request<http::string_body> request;
        http::async_read(connection->ws.next_layer(), buffer, request, yield[ec]);
        if (!ec)
        {
            connection->ws.set_option(
                websocket::stream_base::timeout::suggested(beast::role_type::server));
            connection->ws.async_accept(request, yield[ec]);
        }
        if (!ec && !stopped)
        {
            connection->open = true;
            handlers.onOpen(id, std::string(request[http::field::host]));
            buffer.clear();
            while (!stopped)
            {
                connection->ws.async_read(buffer, yield[ec]);
                if (ec || stopped)
                    break;
                auto const text = beast::buffers_to_string(buffer.data());
                buffer.consume(buffer.size());
                handlers.onMessage(id, text);
            }
        }
        connection->open = false;
        connections.erase(id);
        if (!stopped)
            handlers.onClose(id, ec);
    }

    void send(ConnectionId id, std::string text)
    {
        auto const found = connections.find(id);
        if (found == connections.end() || !found->second->open)
            return;
        auto connection = found->second;
        connection->outbox.push_back(std::move(text));
        if (connection->outbox.size() != 1)
            return;
        net::spawn(
            acceptor.get_executor(),
            [connection](net::yield_context yield)
            {
                while (!connection->outbox.empty())
                {
                    error_code ec;
                    connection->ws.async_write(net::buffer(connection->outbox.front()), yield[ec]);
                    if (ec)
                        return connection->outbox.clear();
                    connection->outbox.pop_front();
                }
            },
            rethrowFailure);
    }

    void stop()
    {
        if (stopped)
            return;
        stopped = true;
        error_code ignored;
        acceptor.close(ignored);
        for (auto &[id, connection] : connections)
            connection->ws.next_layer().close(ignored);
        connections.clear();
    }

    tcp::acceptor acceptor;
    tcp::endpoint local; // kept, since the acceptor no longer knows it once closed
    Handlers handlers;
    std::map<ConnectionId, std::shared_ptr<Connection>> connections;
    ConnectionId nextId = 1;
    bool stopped = false;
};

WebSocketServer::WebSocketServer(net::io_context &io, tcp::endpoint const &endpoint,
                                 Handlers handlers)
    : state(std::make_shared<State>(io, std::move(handlers)))
{
    state->acceptor.open(endpoint.protocol());
    state->acceptor.set_option(tcp::acceptor::reuse_address(true));
    state->acceptor.bind(endpoint);
    state->acceptor.listen();
    state->local = state->acceptor.local_endpoint();
    net::spawn(
        io, [state = state](net::yield_context yield) { state->acceptLoop(yield); },
        rethrowFailure);
}

WebSocketServer::~WebSocketServer()
{
    state->stop();
}

tcp::endpoint WebSocketServer::localEndpoint() const
{
    return state->local;
}

std::string WebSocketServer::describe(ConnectionId connection) const
{
    return state->local.address().to_string() + ":" + std::to_string(state->local.port()) + " #" +
           std::to_string(connection);
}

void WebSocketServer::send(ConnectionId connection, std::string text)
{
    state->send(connection, std::move(text));
}

std::vector<WebSocketServer::ConnectionId> WebSocketServer::openConnections() const
{
    std::vector<ConnectionId> open;
    for (auto const &[id, connection] : state->connections)
        if (connection->open)
            open.push_back(id);
    return open;
}

void WebSocketServer::stop()
{
    state->stop();
}

} // namespace kelvarin::triggerTesting::sim
