#pragma once

#include "bench/MqttClient.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// One child process's share of the broker's clients (`tt_bench mqtt-clients`), the
// counterpart of a device generator: it connects its clients, at most `concurrency` of them
// between connecting and their subscription's acknowledgement, and tells the benchmark on
// standard output once every one has settled:
//   "ready <subscribed> <failed>"
// Each client subscribes to its own request topic and answers every request with a result on
// the result topic: the request's id, padded to the result size.
class MqttClientFleet
{
public:
    struct Settings
    {
        boost::asio::ip::tcp::endpoint broker;
        std::uint64_t firstUnit = 1;
        std::size_t count = 0;
        std::vector<std::string> sources; // used in turn
        std::size_t resultSize = 64;      // bytes of each result payload
        std::size_t concurrency = 64;
    };

    MqttClientFleet(boost::asio::io_context &io, Settings settings, std::ostream &out);
    MqttClientFleet(MqttClientFleet const &) = delete;
    MqttClientFleet &operator=(MqttClientFleet const &) = delete;

    void start();

private:
    void startNext();
    void answer(MqttClient &client, std::string_view request);
    void onSettled(bool subscribed);
    void keepAlive();

    boost::asio::io_context &io;
    Settings settings;
    std::ostream &out;
    boost::asio::steady_timer ticker;
    std::string result; // the result payload, its id overwritten for each answer
    std::vector<std::shared_ptr<MqttClient>> clients;
    std::size_t subscribed = 0, failed = 0;
};

// The role's entry point: its options, the fleet, and its event loop until SIGTERM.
int runMqttClients(int argc, char *argv[]);

} // namespace kelvarin::triggerTesting::bench
