#include "sim/WebSocketServer.hpp"

#include "common/Coroutine.hpp"
#include "common/SetNoDelay.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/steady_timer.hpp>
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
    bool writing = false;
    bool closeRequested = false;
};

} // namespace

struct WebSocketServer::State : std::enable_shared_from_this<WebSocketServer::State>
{
    State(net::io_context &io, Handlers handlers)
        : acceptor(io), resume(io, net::steady_timer::time_point::max()),
          handlers(std::move(handlers))
    {
    }

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
            if (rejecting)
            {
                socket.close(ec);
                continue;
            }
            // Small messages leave at once instead of waiting for the peer's delayed ACK, so
            // the latencies the benchmark takes are the controller's, not Nagle's.
            setNoDelay(socket);
            auto const id = nextId++;
            auto connection = std::make_shared<Connection>(std::move(socket));
            connections.emplace(id, connection);
            spawnCoroutine(acceptor.get_executor(),
                           [self = shared_from_this(), id, connection](net::yield_context yield)
                           { self->serve(id, connection, yield); });
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
            // A result relayed by a controller may be as large as a device's largest message
            // and the members the controller adds.
            connection->ws.read_message_max(0);
            connection->ws.async_accept(request, yield[ec]);
        }
        if (!ec && !stopped)
        {
            connection->open = true;
            handlers.onOpen(id, std::string(request[http::field::host]),
                            std::string(request.target()));
            buffer.clear();
            while (!stopped)
            {
                while (!reading && !stopped)
                    resume.async_wait(yield[ec]);
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

    std::shared_ptr<Connection> find(ConnectionId id) const
    {
        auto const found = connections.find(id);
        if (found == connections.end() || !found->second->open)
            return nullptr;
        return found->second;
    }

    // One writer per connection: the queue in order, then the close handshake if one was asked.
    void startWriting(std::shared_ptr<Connection> const &connection)
    {
        if (connection->writing)
            return;
        connection->writing = true;
        spawnCoroutine(acceptor.get_executor(),
                       [connection](net::yield_context yield)
                       {
                           error_code ec;
                           while (!connection->outbox.empty() && !ec)
                           {
                               connection->ws.async_write(net::buffer(connection->outbox.front()),
                                                          yield[ec]);
                               connection->outbox.pop_front();
                           }
                           connection->outbox.clear();
                           if (connection->closeRequested && !ec)
                               connection->ws.async_close(websocket::close_code::normal, yield[ec]);
                           connection->writing = false;
                       });
    }

    void stop()
    {
        if (stopped)
            return;
        stopped = true;
        error_code ignored;
        acceptor.close(ignored);
        resume.cancel();
        for (auto &[id, connection] : connections)
            connection->ws.next_layer().close(ignored);
        connections.clear();
    }

    tcp::acceptor acceptor;
    tcp::endpoint local; // kept, since the acceptor no longer knows it once closed
    // Never expires: connections that are not to read wait on it until reading resumes.
    net::steady_timer resume;
    Handlers handlers;
    std::map<ConnectionId, std::shared_ptr<Connection>> connections;
    ConnectionId nextId = 1;
    bool stopped = false;
    bool rejecting = false;
    bool reading = true;
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
    spawnCoroutine(state->acceptor.get_executor(),
                   [state = state](net::yield_context yield) { state->acceptLoop(yield); });
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
    if (auto const found = state->find(connection); found && !found->closeRequested)
    {
        found->outbox.push_back(std::move(text));
        state->startWriting(found);
    }
}

void WebSocketServer::close(ConnectionId connection)
{
    if (auto const found = state->find(connection))
    {
        found->closeRequested = true;
        state->startWriting(found);
    }
}

std::vector<WebSocketServer::ConnectionId> WebSocketServer::openConnections() const
{
    std::vector<ConnectionId> open;
    for (auto const &[id, connection] : state->connections)
        if (connection->open)
            open.push_back(id);
    return open;
}

void WebSocketServer::setRejecting(bool rejecting)
{
    state->rejecting = rejecting;
}

void WebSocketServer::setReading(bool reading)
{
    state->reading = reading;
    if (reading)
        state->resume.cancel();
}

void WebSocketServer::stop()
{
    state->stop();
}

} // namespace kelvarin::triggerTesting::sim
