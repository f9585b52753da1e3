#include "support/FakeDevice.hpp"

#include <boost/asio/connect.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>

#include <deque>

namespace kelvarin::triggerTesting::test
{

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::asio::ip::tcp;

struct FakeDevice::Connection : std::enable_shared_from_this<Connection>
{
    explicit Connection(boost::asio::io_context &io) : ws(io) {}

    void connect(tcp::endpoint const &endpoint, std::string subprotocol, bool reading)
    {
        ws.binary(true);
        if (!subprotocol.empty())
            ws.set_option(websocket::stream_base::decorator(
                [subprotocol](websocket::request_type &request)
                { request.set(beast::http::field::sec_websocket_protocol, subprotocol); }));
        auto self = shared_from_this();
        ws.next_layer().async_connect(endpoint,
                                      [self, endpoint, reading](auto ec)
                                      {
                                          if (ec)
                                              return self->failHandshake(ec);
                                          self->ws.async_handshake(
                                              self->response, endpoint.address().to_string(), "/",
                                              [self, reading](auto handshakeEc)
                                              { self->onHandshake(handshakeEc, reading); });
                                      });
    }

    void failHandshake(boost::system::error_code const &ec) { handshakeError = ec; }

    void onHandshake(boost::system::error_code const &ec, bool reading)
    {
        if (ec)
            return failHandshake(ec);
        connected = true;
        if (!writeQueue.empty())
            startWriting();
        if (reading)
            startRead();
    }

    void startRead()
    {
        ws.async_read(readBuffer,
                      [self = shared_from_this()](auto ec, std::size_t)
                      {
                          if (ec)
                          {
                              self->readError = ec;
                              self->disconnected = true;
                              return;
                          }
                          self->received.push_back(
                              beast::buffers_to_string(self->readBuffer.data()));
                          self->readBuffer.consume(self->readBuffer.size());
                          self->startRead();
                      });
    }

    void send(std::string message)
    {
        writeQueue.push_back(std::move(message));
        if (connected && writeQueue.size() == 1)
            startWriting();
    }

    void startWriting()
    {
        ws.async_write(boost::asio::buffer(writeQueue.front()),
                       [self = shared_from_this()](auto ec, std::size_t)
                       {
                           if (ec)
                               return;
                           self->writeQueue.pop_front();
                           if (!self->writeQueue.empty())
                               self->startWriting();
                       });
    }

    websocket::stream<tcp::socket> ws;
    websocket::response_type response;
    beast::flat_buffer readBuffer;
    std::deque<std::string> writeQueue;
    std::vector<std::string> received;
    bool connected = false;
    bool disconnected = false;
    boost::system::error_code handshakeError;
    boost::system::error_code readError;
};

FakeDevice::FakeDevice(boost::asio::io_context &io)
    : io(io), connection(std::make_shared<Connection>(io))
{
}

FakeDevice::~FakeDevice()
{
    closeSocket();
}

void FakeDevice::connect(tcp::endpoint const &endpoint, std::string subprotocol, bool reading)
{
    connection->connect(endpoint, std::move(subprotocol), reading);
}

bool FakeDevice::connectAndWait(tcp::endpoint const &endpoint, std::string subprotocol)
{
    connect(endpoint, std::move(subprotocol));
    return runUntil(io, [this] { return isConnected() || handshakeError(); }) && isConnected();
}

void FakeDevice::send(std::string message)
{
    connection->send(std::move(message));
}

void FakeDevice::closeSocket()
{
    boost::system::error_code ignored;
    connection->ws.next_layer().close(ignored);
}

bool FakeDevice::allSent() const
{
    return connection->writeQueue.empty();
}

bool FakeDevice::isConnected() const
{
    return connection->connected;
}

boost::system::error_code FakeDevice::handshakeError() const
{
    return connection->handshakeError;
}

websocket::response_type const &FakeDevice::handshakeResponse() const
{
    return connection->response;
}

std::vector<std::string> const &FakeDevice::received() const
{
    return connection->received;
}

bool FakeDevice::isDisconnected() const
{
    return connection->disconnected;
}

boost::system::error_code FakeDevice::readError() const
{
    return connection->readError;
}

bool FakeDevice::runUntil(boost::asio::io_context &io, std::function<bool()> const &done,
                          std::chrono::milliseconds deadline)
{
    auto const end = std::chrono::steady_clock::now() + deadline;
    while (!done() && std::chrono::steady_clock::now() < end)
    {
        io.restart();
        io.run_one_for(std::chrono::milliseconds(10));
    }
    return done();
}

std::string FakeDevice::registerMessage(std::uint64_t unitId,
                                        std::array<std::uint8_t, 6> const &mac)
{
    std::string message("\x46\x9B\x34\xA5\x01", 5);
    for (int shift = 56; shift >= 0; shift -= 8)
        message.push_back(static_cast<char>((unitId >> shift) & 0xFF));
    message.append(mac.begin(), mac.end());
    return message;
}

std::string FakeDevice::resultMessage(boost::uuids::uuid const &requestId, std::uint8_t flags,
                                      std::string const &text)
{
    std::string message("\x46\x9B\x34\xA5\x02", 5);
    message.append(requestId.begin(), requestId.end());
    message.push_back(static_cast<char>(flags));
    message.append(4, '\0');
    message.append(text);
    return message;
}

} // namespace kelvarin::triggerTesting::test
