#include "bench/BareRelay.hpp"

#include "common/Coroutine.hpp"
#include "common/FrameBoundaryStream.hpp"
#include "common/SetNoDelay.hpp"
#include "device/DeviceProtocol.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <charconv>
#include <deque>
#include <string_view>
#include <unordered_map>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;
using net::ip::tcp;

namespace
{

// The relay's objects name the event loop's own executor, as the controller's do: a
// type-erased executor would be copied and called through at every step of every message.
using Executor = net::io_context::executor_type;
using Socket = net::basic_stream_socket<tcp, Executor>;
using Acceptor = net::basic_socket_acceptor<tcp, Executor>;
using Yield = net::basic_yield_context<Executor>;

using Message = std::shared_ptr<std::string const>;

constexpr std::string_view testIdKey = "\"test_id\":\"";
constexpr std::string_view unitIdKey = "\"unit_id\":";
constexpr std::string_view dataKey = "\"data\":";
constexpr std::size_t uuidTextSize = 36;
constexpr std::size_t registerSize = 19;
constexpr std::size_t resultTextOffset = 26;

// One WebSocket connection with its queue of outgoing messages, one write at a time: the
// messages queued when a write begins go to the socket in one system call, as the controller
// writes them (the layer beneath the stream gathers all but the last).
struct Link : std::enable_shared_from_this<Link>
{
    // Every message in one frame, and a client's masking done in one pass: as little work per
    // message as the library allows. Reads go to the stream as they come.
    explicit Link(Socket socket) : ws(std::move(socket))
    {
        ws.auto_fragment(false);
        ws.write_buffer_bytes(64 * 1024);
        ws.next_layer().passReadsThrough();
    }

    void send(Message message)
    {
        outbox.push_back(std::move(message));
        if (outbox.size() == 1)
            writeBatch();
    }

    void writeBatch()
    {
        constexpr std::size_t batchBytes = 64 * 1024;
        std::size_t bytes = 0;
        for (batch = 0; batch < outbox.size(); ++batch)
        {
            if (batch > 0 && bytes + outbox[batch]->size() > batchBytes)
                break;
            bytes += outbox[batch]->size();
        }
        written = 0;
        writeNext();
    }

    void writeNext()
    {
        ws.next_layer().gatherWrites(written + 1 < batch);
        ws.async_write(net::buffer(*outbox[written]),
                       [self = shared_from_this()](error_code const &ec, std::size_t)
                       {
                           if (ec)
                               return self->outbox.clear();
                           if (++self->written < self->batch)
                               return self->writeNext();
                           self->outbox.erase(self->outbox.begin(),
                                              self->outbox.begin() +
                                                  static_cast<std::ptrdiff_t>(self->batch));
                           if (!self->outbox.empty())
                               self->writeBatch();
                       });
    }

    websocket::stream<FrameBoundaryStream<Socket>> ws;
    std::deque<Message> outbox;
    std::size_t batch = 0;
    std::size_t written = 0;
};

std::string_view payload(beast::flat_buffer const &buffer)
{
    return {static_cast<char const *>(buffer.data().data()), buffer.size()};
}

} // namespace

struct BareRelay::State : std::enable_shared_from_this<BareRelay::State>
{
    State(net::io_context &io, tcp::endpoint const &devices, std::vector<tcp::endpoint> apis)
        : io(io), acceptor(io.get_executor(), devices), apiEndpoints(std::move(apis))
    {
    }

    void acceptLoop(Yield yield)
    {
        while (!stopped)
        {
            error_code ec;
            Socket socket = acceptor.async_accept(yield[ec]);
            if (stopped)
                return;
            if (ec)
                continue;
            setNoDelay(socket);
            auto link = std::make_shared<Link>(std::move(socket));
            net::spawn(
                io.get_executor(),
                [self = shared_from_this(), link](Yield y) { self->serveDevice(link, y); },
                rethrowFailure);
        }
    }

    void serveDevice(std::shared_ptr<Link> link, Yield yield)
    {
        auto &ws = link->ws;
        ws.binary(true);
        ws.set_option(websocket::stream_base::decorator(
            [](websocket::response_type &response)
            { response.set(beast::http::field::sec_websocket_protocol, deviceSubprotocol); }));
        error_code ec;
        ws.async_accept(yield[ec]);
        beast::flat_buffer buffer;
        if (!ec)
            ws.async_read(buffer, yield[ec]);
        if (ec || buffer.size() != registerSize)
            return;
        auto const bytes = payload(buffer);
        std::uint64_t unit = 0;
        for (std::size_t i = 5; i < 13; ++i)
            unit = (unit << 8) | static_cast<std::uint8_t>(bytes[i]);
        link->send(std::make_shared<std::string const>(encodeValidationAnswer(true)));
        devices[unit] = link;
        buffer.consume(buffer.size());
        while (!stopped)
        {
            ws.async_read(buffer, yield[ec]);
            if (ec)
                break;
            auto const result = payload(buffer);
            if (result.size() > resultTextOffset)
                relayResult(result);
            buffer.consume(buffer.size());
        }
        auto const found = devices.find(unit);
        if (found != devices.end() && found->second == link)
            devices.erase(found);
    }

    void relayResult(std::string_view result)
    {
        boost::uuids::uuid id{};
        std::copy_n(result.begin() + 5, id.size(), id.begin());
        auto body = result.substr(resultTextOffset);
        if (body.empty() || body.back() != '}')
            return;
        body.remove_suffix(1);
        std::string text;
        text.reserve(body.size() + 96);
        text.append("{\"type\":\"execute\",\"data\":");
        text.append(body);
        text.append(",\"test_id\":\"");
        text.append(boost::uuids::to_string(id));
        text.append("\"}}");
        auto const message = std::make_shared<std::string const>(std::move(text));
        for (auto const &api : apis)
            api->send(message);
    }

    void serveApi(tcp::endpoint endpoint, Yield yield)
    {
        net::basic_waitable_timer<std::chrono::steady_clock,
                                  net::wait_traits<std::chrono::steady_clock>, Executor>
            retry(io.get_executor());
        while (!stopped)
        {
            auto link = std::make_shared<Link>(Socket(io.get_executor()));
            error_code ec;
            beast::get_lowest_layer(link->ws).async_connect(endpoint, yield[ec]);
            if (!ec)
            {
                setNoDelay(beast::get_lowest_layer(link->ws));
                link->ws.async_handshake("bench-api", "/", yield[ec]);
            }
            if (!ec)
            {
                link->ws.text(true);
                std::string const registration =
                    "{\"type\":\"register\",\"data\":{\"name\":\"bare-relay\"}}";
                link->ws.async_write(net::buffer(registration), yield[ec]);
            }
            if (ec)
            {
                retry.expires_after(std::chrono::milliseconds(100));
                retry.async_wait(yield[ec]);
                continue;
            }
            apis.push_back(link);
            beast::flat_buffer buffer;
            while (!stopped)
            {
                link->ws.async_read(buffer, yield[ec]);
                if (ec)
                    break;
                relayExecute(payload(buffer));
                buffer.consume(buffer.size());
            }
            std::erase(apis, link);
        }
    }

    void relayExecute(std::string_view text)
    {
        auto const idAt = text.find(testIdKey);
        auto const unitAt = text.find(unitIdKey);
        auto const dataAt = text.find(dataKey);
        if (idAt == text.npos || unitAt == text.npos || dataAt == text.npos ||
            text.size() < idAt + testIdKey.size() + uuidTextSize || text.back() != '}')
            return;
        auto const idText = text.substr(idAt + testIdKey.size(), uuidTextSize);
        auto const id = boost::uuids::string_generator()(idText.begin(), idText.end());
        std::uint64_t unit = 0;
        auto const digits = text.substr(unitAt + unitIdKey.size());
        std::from_chars(digits.data(), digits.data() + digits.size(), unit);
        auto const found = devices.find(unit);
        if (found == devices.end())
            return;
        auto data = text.substr(dataAt + dataKey.size());
        data.remove_suffix(1);
        auto run = encodeRunMessage(id, data);
        found->second->send(std::make_shared<std::string const>(std::move(run)));
    }

    void stop()
    {
        stopped = true;
        error_code ignored;
        acceptor.close(ignored);
        for (auto &[unit, link] : devices)
            beast::get_lowest_layer(link->ws).close(ignored);
        for (auto &link : apis)
            beast::get_lowest_layer(link->ws).close(ignored);
    }

    net::io_context &io;
    Acceptor acceptor;
    std::vector<tcp::endpoint> apiEndpoints;
    std::unordered_map<std::uint64_t, std::shared_ptr<Link>> devices;
    std::vector<std::shared_ptr<Link>> apis;
    bool stopped = false;
};

BareRelay::BareRelay(net::io_context &io, tcp::endpoint const &devices,
                     std::vector<tcp::endpoint> const &apiServers)
    : state(std::make_shared<State>(io, devices, apiServers))
{
}

BareRelay::~BareRelay()
{
    state->stop();
}

void BareRelay::start()
{
    net::spawn(
        state->io.get_executor(), [state = state](Yield yield) { state->acceptLoop(yield); },
        rethrowFailure);
    for (auto const &endpoint : state->apiEndpoints)
        net::spawn(
            state->io.get_executor(),
            [state = state, endpoint](Yield yield) { state->serveApi(endpoint, yield); },
            rethrowFailure);
}

} // namespace kelvarin::triggerTesting::bench
