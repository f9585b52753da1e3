#include "bench/MqttRequester.hpp"

#include "sim/SimMessages.hpp"

#include <boost/uuid/uuid.hpp>

#include <algorithm>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;

namespace
{

void putBigEndian(std::string &bytes, std::size_t offset, std::uint64_t value, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        bytes[offset + i] = static_cast<char>(value >> (8 * (size - 1 - i)));
}

std::uint64_t getBigEndian(std::string_view bytes, std::size_t offset, std::size_t size)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value = (value << 8) | static_cast<std::uint8_t>(bytes[offset + i]);
    return value;
}

} // namespace

std::size_t executeDataSize(std::uint64_t unit)
{
    // {"type":"execute","data":{...}}: the object between the prefix and the last brace.
    std::string_view constexpr prefix = "{\"type\":\"execute\",\"data\":";
    return sim::executeMessage(boost::uuids::uuid{}, unit, "bench", 1).size() - prefix.size() - 1;
}

MqttRequester::MqttRequester(net::io_context &io, std::uint32_t index,
                             std::vector<std::uint64_t> const &units)
    : index(index), payload(std::max(executeDataSize(units.front()), mqttIdSize), 'x'), ticker(io),
      requests(io, [this](std::uint32_t generation, std::uint64_t sequence)
               { return send(generation, sequence); })
{
    for (auto const unit : units)
        topics.push_back(requestTopic(unit));
    putBigEndian(payload, 0, index, 4);
    client = std::make_shared<MqttClient>(
        io, "tt-bench-requester-" + std::to_string(index), resultTopic,
        MqttClient::Handlers{[this] { ready = true; },
                             [this](MqttClient &, std::string_view, std::string_view result)
                             { onResult(result); },
                             [this] { lost = true; }});
}

MqttRequester::~MqttRequester()
{
    requests.halt();
    client->stop();
}

bool MqttRequester::connect(net::ip::tcp::endpoint const &broker)
{
    keepAlive();
    return client->connect(broker, "127.0.0.1");
}

bool MqttRequester::send(std::uint32_t generation, std::uint64_t sequence)
{
    if (!ready || lost)
        return false;
    putBigEndian(payload, 4, generation, 4);
    putBigEndian(payload, 8, sequence, 8);
    auto const &topic = topics[nextTopic];
    nextTopic = (nextTopic + 1) % topics.size();
    return client->publish(topic, payload);
}

void MqttRequester::onResult(std::string_view result)
{
    if (result.size() >= mqttIdSize && getBigEndian(result, 0, 4) == index)
        requests.answered(static_cast<std::uint32_t>(getBigEndian(result, 4, 4)),
                          getBigEndian(result, 8, 8));
}

void MqttRequester::keepAlive()
{
    client->keepAlive();
    ticker.expires_after(std::chrono::seconds(1));
    ticker.async_wait(
        [this](boost::system::error_code const &ec)
        {
            if (!ec)
                keepAlive();
        });
}

} // namespace kelvarin::triggerTesting::bench
