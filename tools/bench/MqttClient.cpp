#include "bench/MqttClient.hpp"

#include <boost/asio/error.hpp>

#include <cerrno>
#include <mosquitto.h>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;

namespace
{

constexpr int keepAliveSeconds = 60;

mosquitto *newClient(std::string const &id, void *owner)
{
    static int const initialised = mosquitto_lib_init();
    (void)initialised;
    auto *client = mosquitto_new(id.c_str(), true, owner);
    if (client == nullptr)
        throw std::runtime_error("mosquitto_new failed");
    return client;
}

// Runs one of libmosquitto's callbacks with errno kept: readAll() reads errno after
// mosquitto_loop_read to tell an emptied socket, and a callback that publishes may leave
// another value there.
template <typename Body> void keepingErrno(Body body)
{
    int const saved = errno;
    body();
    errno = saved;
}

} // namespace

std::string requestTopic(std::uint64_t unit)
{
    return "tt-bench/request/" + std::to_string(unit);
}

MqttClient::MqttClient(net::io_context &io, std::string const &id, std::string subscription,
                       Handlers handlers)
    : client(newClient(id, this)), socket(io), subscription(std::move(subscription)),
      handlers(std::move(handlers))
{
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(client, &MqttClient::connected);
    mosquitto_subscribe_callback_set(client, &MqttClient::subscribed);
    mosquitto_message_callback_set(client, &MqttClient::received);
    mosquitto_disconnect_callback_set(client, &MqttClient::disconnected);
}

MqttClient::~MqttClient()
{
    if (socket.is_open())
        socket.release();
    mosquitto_destroy(client);
}

bool MqttClient::connect(net::ip::tcp::endpoint const &broker, std::string const &source)
{
    auto const host = broker.address().to_string();
    if (mosquitto_connect_bind_async(client, host.c_str(), broker.port(), keepAliveSeconds,
                                     source.c_str()) != MOSQ_ERR_SUCCESS ||
        mosquitto_socket(client) < 0)
    {
        stop();
        return false;
    }
    boost::system::error_code ec;
    socket.assign(mosquitto_socket(client), ec);
    if (ec)
    {
        stop();
        return false;
    }
    waitReadable();
    flush();
    return true;
}

bool MqttClient::publish(std::string const &topic, std::string_view payload)
{
    if (stopped ||
        mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 0, false) != MOSQ_ERR_SUCCESS)
        return false;
    // Inside a callback of readAll() libmosquitto only queues it; readAll() flushes after.
    if (!reading)
        flush();
    return true;
}

void MqttClient::keepAlive()
{
    if (stopped)
        return;
    mosquitto_loop_misc(client);
    flush();
}

void MqttClient::stop()
{
    if (stopped)
        return;
    stopped = true;
    // Cancels the waits; libmosquitto closes the socket when the client is destroyed.
    if (socket.is_open())
        socket.release();
}

void MqttClient::waitReadable()
{
    socket.async_wait(net::posix::descriptor_base::wait_read,
                      [self = shared_from_this()](boost::system::error_code const &ec)
                      {
                          if (ec || self->stopped)
                              return;
                          self->readAll();
                      });
}

void MqttClient::waitWritable()
{
    if (writeWaiting)
        return;
    writeWaiting = true;
    socket.async_wait(net::posix::descriptor_base::wait_write,
                      [self = shared_from_this()](boost::system::error_code const &ec)
                      {
                          self->writeWaiting = false;
                          if (ec || self->stopped)
                              return;
                          self->flush();
                      });
}

void MqttClient::readAll()
{
    // Each call takes at most one packet; the one that finds the socket empty leaves EAGAIN.
    int code = MOSQ_ERR_SUCCESS;
    reading = true;
    do
    {
        errno = 0;
        code = mosquitto_loop_read(client, 1);
    } while (code == MOSQ_ERR_SUCCESS && !stopped && errno != EAGAIN && errno != EWOULDBLOCK);
    reading = false;
    if (stopped)
        return;
    if (code != MOSQ_ERR_SUCCESS)
        return fail();
    flush();
    waitReadable();
}

void MqttClient::flush()
{
    if (stopped || !mosquitto_want_write(client))
        return;
    if (mosquitto_loop_write(client, 1) != MOSQ_ERR_SUCCESS)
        return fail();
    if (mosquitto_want_write(client))
        waitWritable();
}

void MqttClient::fail()
{
    if (stopped)
        return;
    stop();
    if (handlers.onFailed)
        handlers.onFailed();
}

void MqttClient::connected(mosquitto *client, void *self, int code)
{
    auto &owner = *static_cast<MqttClient *>(self);
    keepingErrno(
        [&]
        {
            if (code != 0 || mosquitto_subscribe(client, nullptr, owner.subscription.c_str(), 0) !=
                                 MOSQ_ERR_SUCCESS)
                owner.fail();
        });
}

void MqttClient::subscribed(mosquitto *, void *self, int, int, int const *)
{
    auto &owner = *static_cast<MqttClient *>(self);
    keepingErrno(
        [&]
        {
            if (owner.handlers.onSubscribed)
                owner.handlers.onSubscribed();
        });
}

void MqttClient::received(mosquitto *, void *self, mosquitto_message const *message)
{
    auto &owner = *static_cast<MqttClient *>(self);
    keepingErrno(
        [&]
        {
            if (owner.handlers.onMessage)
                owner.handlers.onMessage(owner, message->topic,
                                         {static_cast<char const *>(message->payload),
                                          static_cast<std::size_t>(message->payloadlen)});
        });
}

void MqttClient::disconnected(mosquitto *, void *self, int)
{
    keepingErrno([&] { static_cast<MqttClient *>(self)->fail(); });
}

} // namespace kelvarin::triggerTesting::bench
