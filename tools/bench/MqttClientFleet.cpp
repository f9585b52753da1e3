#include "bench/MqttClientFleet.hpp"

#include "sim/SimArguments.hpp"

#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <utility>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;

MqttClientFleet::MqttClientFleet(net::io_context &io, Settings settings, std::ostream &out)
    : io(io), settings(std::move(settings)), out(out), ticker(io),
      result(std::max(this->settings.resultSize, mqttIdSize), 'x')
{
    clients.reserve(this->settings.count);
}

void MqttClientFleet::start()
{
    keepAlive();
    if (settings.count == 0)
        onSettled(false);
    while (clients.size() < settings.count && clients.size() < settings.concurrency)
        startNext();
}

void MqttClientFleet::startNext()
{
    auto const index = clients.size();
    auto const unit = settings.firstUnit + index;
    // Settled once: subscribed, or failed before that; a later loss is not counted.
    auto settle = [this, settled = std::make_shared<bool>(false)](bool wasSubscribed)
    {
        if (std::exchange(*settled, true))
            return;
        onSettled(wasSubscribed);
    };
    auto client = std::make_shared<MqttClient>(
        io, "tt-bench-" + std::to_string(unit), requestTopic(unit),
        MqttClient::Handlers{[settle] { settle(true); },
                             [this](MqttClient &self, std::string_view, std::string_view request)
                             { answer(self, request); },
                             [settle] { settle(false); }});
    clients.push_back(client);
    if (!client->connect(settings.broker, settings.sources[index % settings.sources.size()]))
        settle(false);
}

void MqttClientFleet::answer(MqttClient &client, std::string_view request)
{
    if (request.size() < mqttIdSize)
        return;
    std::copy_n(request.begin(), mqttIdSize, result.begin());
    client.publish(resultTopic, result);
}

void MqttClientFleet::onSettled(bool wasSubscribed)
{
    if (settings.count > 0)
        ++(wasSubscribed ? subscribed : failed);
    if (clients.size() < settings.count)
        return startNext();
    if (subscribed + failed == settings.count)
        out << "ready " << subscribed << " " << failed << std::endl;
}

void MqttClientFleet::keepAlive()
{
    for (auto const &client : clients)
        client->keepAlive();
    ticker.expires_after(std::chrono::seconds(1));
    ticker.async_wait(
        [this](boost::system::error_code const &ec)
        {
            if (!ec)
                keepAlive();
        });
}

int runMqttClients(int argc, char *argv[])
{
    namespace po = boost::program_options;
    MqttClientFleet::Settings settings;
    std::string broker, source;
    std::size_t sources = 1;
    po::options_description options("mqtt-clients");
    options.add_options()("broker", po::value(&broker)->required())(
        "first-unit", po::value(&settings.firstUnit))("count", po::value(&settings.count))(
        "source", po::value(&source)->default_value("127.0.0.1"))("sources", po::value(&sources))(
        "result-size", po::value(&settings.resultSize));
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, options), values);
    po::notify(values);
    settings.broker = sim::parseEndpoint(broker);
    auto const base = net::ip::make_address_v4(source).to_uint();
    for (std::size_t i = 0; i < sources; ++i)
        settings.sources.push_back(
            net::ip::address_v4(base + static_cast<std::uint32_t>(i)).to_string());

    net::io_context io(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO);
    MqttClientFleet fleet(io, settings, std::cout);
    net::signal_set stopSignals(io, SIGTERM, SIGINT);
    stopSignals.async_wait([&io](boost::system::error_code const &, int) { io.stop(); });
    fleet.start();
    io.run();
    // The clients' sockets close with the process, all at once.
    std::cout.flush();
    std::_Exit(0);
}

} // namespace kelvarin::triggerTesting::bench
