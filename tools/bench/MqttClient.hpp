#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct mosquitto;
struct mosquitto_message;

namespace kelvarin::triggerTesting::bench
{

// One libmosquitto client on an Asio event loop, without libmosquitto's own thread:
//
//   libmosquitto's socket --- stream_descriptor (watches it, does not own it)
//       readable  -> mosquitto_loop_read until the socket is empty; a read wait is always
//                    pending, since the reactor reports new data, not data still unread
//       output libmosquitto could not write at once, or queued in one of its callbacks
//                 -> mosquitto_loop_write, waiting for room where the socket is full
//       keepAlive() from the owner's timer, about once a second -> mosquitto_loop_misc
//
// It subscribes to one topic (QoS 0) once connected. Only pending waits own it; stop() is
// idempotent and hands the socket back to libmosquitto, which closes it.
class MqttClient : public std::enable_shared_from_this<MqttClient>
{
public:
    struct Handlers
    {
        std::function<void()> onSubscribed; // connected, and the subscription acknowledged
        std::function<void(MqttClient &self, std::string_view topic, std::string_view payload)>
            onMessage;
        std::function<void()> onFailed; // refused, or the connection lost
    };

    MqttClient(boost::asio::io_context &io, std::string const &id, std::string subscription,
               Handlers handlers);
    ~MqttClient();
    MqttClient(MqttClient const &) = delete;
    MqttClient &operator=(MqttClient const &) = delete;

    // Starts connecting from the source address; false (and stopped) when it cannot start.
    bool connect(boost::asio::ip::tcp::endpoint const &broker, std::string const &source);
    // QoS 0, not retained; false when libmosquitto refuses it (not connected).
    bool publish(std::string const &topic, std::string_view payload);
    void keepAlive();
    void stop();

private:
    static void connected(mosquitto *, void *self, int code);
    static void subscribed(mosquitto *, void *self, int, int, int const *);
    static void received(mosquitto *, void *self, mosquitto_message const *message);
    static void disconnected(mosquitto *, void *self, int code);

    void waitReadable();
    void waitWritable();
    void readAll();
    void flush();
    void fail();

    mosquitto *client;
    boost::asio::posix::stream_descriptor socket;
    std::string subscription;
    Handlers handlers;
    bool reading = false;
    bool writeWaiting = false;
    bool stopped = false;
};

// The topics of the benchmark's request/result pattern: each client has its own for requests,
// and every requester subscribes to the one for results.
std::string requestTopic(std::uint64_t unit);
inline constexpr char const *resultTopic = "tt-bench/result";
// The request's id at the start of both payloads: requester, generation and sequence,
// big-endian.
inline constexpr std::size_t mqttIdSize = 16;

} // namespace kelvarin::triggerTesting::bench
