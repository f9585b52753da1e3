#pragma once

#include "bench/MqttClient.hpp"
#include "bench/RoundTripLoad.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// The broker's counterpart of one API server: it publishes each request of its RoundTripLoad
// to the request topic of one client after the other, a payload as large as the "data" of the
// controller's execute message that begins with the request's id, and hands the load the id of
// every result arriving on the result topic it subscribes to.
class MqttRequester
{
public:
    MqttRequester(boost::asio::io_context &io, std::uint32_t index,
                  std::vector<std::uint64_t> const &units);
    ~MqttRequester();
    MqttRequester(MqttRequester const &) = delete;
    MqttRequester &operator=(MqttRequester const &) = delete;

    bool connect(boost::asio::ip::tcp::endpoint const &broker);
    bool subscribed() const { return ready; }
    bool failed() const { return lost; }
    RoundTripLoad &load() { return requests; }

private:
    bool send(std::uint32_t generation, std::uint64_t sequence);
    void onResult(std::string_view payload);
    void keepAlive();

    std::uint32_t index;
    std::vector<std::string> topics; // by client, in turn
    std::size_t nextTopic = 0;
    std::string payload; // the request payload, its id overwritten for each request
    std::shared_ptr<MqttClient> client;
    boost::asio::steady_timer ticker;
    bool ready = false, lost = false;
    RoundTripLoad requests;
};

// The size of the "data" object of the controller's execute message for this unit.
std::size_t executeDataSize(std::uint64_t unit);

} // namespace kelvarin::triggerTesting::bench
