#include "support/FakeApiServer.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <deque>
#include <stdexcept>

namespace kelvarin::triggerTesting::testSupport
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using boost::system::error_code;
using net::ip::tcp;

namespace
{

struct Peer : std::enable_shared_from_this<Peer>
{
    explicit Peer(tcp::socket socket) : ws(std::move(socket)) {}

    void send(std::string text)
    {
        outbox.push_back(std::move(text));
        if (outbox.size() == 1)
            net::spawn(ws.get_executor(),
                       [self = shared_from_this()](net::yield_context yield)
                       {
                           while (!self->outbox.empty())
                           {
                               error_code ec;
                               self->ws.async_write(net::buffer(self->outbox.front()), yield[ec]);
                               if (ec)
                                   return self->outbox.clear();
                               self->outbox.pop_front();
                           }
                       },
                       net::detached);
    }

    websocket::stream<tcp::socket> ws;
    FakeApiServer::Connection record;
    std::deque<std::string> outbox;
};

} // namespace

struct FakeApiServer::State : std::enable_shared_from_this<FakeApiServer::State>
{
    explicit State(net::io_context& io) : acceptor(io) {}

    void acceptLoop(net::yield_context yield)
    {
        while (acceptor.is_open())
        {
            error_code ec;
            tcp::socket socket = acceptor.async_accept(yield[ec]);
            if (ec)
                continue;
            if (rejecting)
            {
                socket.close(ec);
                continue;
            }
            auto peer = std::make_shared<Peer>(std::move(socket));
            net::spawn(acceptor.get_executor(),
                       [self = shared_from_this(), peer](net::yield_context yield)
                       { self->serve(peer, yield); },
                       net::detached);
        }
    }

    void serve(std::shared_ptr<Peer> peer, net::yield_context yield)
    {
        error_code ec;
        beast::flat_buffer buffer;
        http::request<http::string_body> request;
        http::async_read(peer->ws.next_layer(), buffer, request, yield[ec]);
        if (ec)
            return;
        peer->record.host = std::string(request[http::field::host]);
        peer->record.target = std::string(request.target());
        peer->ws.read_message_max(0); // whatever size a peer sends
        peer->ws.async_accept(request, yield[ec]);
        if (ec)
            return;
        peer->record.open = true;
        peers.push_back(peer);
        buffer.clear();
        net::steady_timer pause(peer->ws.get_executor());
        for (;;)
        {
            while (!reading && peer->ws.next_layer().is_open())
            {
                pause.expires_after(std::chrono::milliseconds(2));
                pause.async_wait(yield[ec]);
            }
            peer->ws.async_read(buffer, yield[ec]);
            if (ec)
                break;
            std::string text = beast::buffers_to_string(buffer.data());
            buffer.consume(buffer.size());
            peer->record.received.push_back(text);
            received.push_back(std::move(text));
        }
        peer->record.open = false;
    }

    tcp::acceptor acceptor;
    std::vector<std::shared_ptr<Peer>> peers;
    std::vector<std::string> received;
    bool rejecting = false;
    bool reading = true;
};

FakeApiServer::FakeApiServer(net::io_context& io, std::string const& address)
    : state(std::make_shared<State>(io))
{
    tcp::endpoint const local(net::ip::make_address(address), 0);
    state->acceptor.open(local.protocol());
    state->acceptor.bind(local);
    state->acceptor.listen();
    net::spawn(
        io, [state = state](net::yield_context yield) { state->acceptLoop(yield); },
        net::detached);
}

FakeApiServer::~FakeApiServer()
{
    error_code ignored;
    state->acceptor.close(ignored);
    for (auto& peer : state->peers)
        peer->ws.next_layer().close(ignored);
}

tcp::endpoint FakeApiServer::endpoint() const
{
    return state->acceptor.local_endpoint();
}

std::size_t FakeApiServer::connectionCount() const
{
    return state->peers.size();
}

FakeApiServer::Connection const& FakeApiServer::connection(std::size_t index) const
{
    if (index >= state->peers.size())
        throw std::out_of_range("FakeApiServer: no such connection");
    return state->peers[index]->record;
}

std::vector<std::string> const& FakeApiServer::allReceived() const
{
    return state->received;
}

void FakeApiServer::send(std::string text)
{
    if (state->peers.empty())
        throw std::logic_error("FakeApiServer: nothing connected");
    state->peers.back()->send(std::move(text));
}

void FakeApiServer::closeNewest()
{
    if (state->peers.empty())
        throw std::logic_error("FakeApiServer: nothing connected");
    auto peer = state->peers.back();
    net::spawn(
        peer->ws.get_executor(),
        [peer](net::yield_context yield)
        {
            error_code ignored;
            peer->ws.async_close(websocket::close_code::normal, yield[ignored]);
        },
        net::detached);
}

void FakeApiServer::setRejecting(bool rejecting)
{
    state->rejecting = rejecting;
}

void FakeApiServer::setReading(bool reading)
{
    state->reading = reading;
}

} // namespace kelvarin::triggerTesting::testSupport
