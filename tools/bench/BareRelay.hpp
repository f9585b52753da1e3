#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// The floor: a bare pass-through relay between API servers and devices on one thread, with
// the controller's wire formats but none of its work. It admits every device without asking
// anyone, finds the unit and test id of an "execute" by searching the text instead of parsing
// JSON, and wraps each device result in a result message by concatenation, sent to every API
// server as the controller does. No logging.
class BareRelay
{
public:
    BareRelay(boost::asio::io_context &io, boost::asio::ip::tcp::endpoint const &devices,
              std::vector<boost::asio::ip::tcp::endpoint> const &apiServers);
    ~BareRelay();
    BareRelay(BareRelay const &) = delete;
    BareRelay &operator=(BareRelay const &) = delete;

    void start();

private:
    struct State;
    std::shared_ptr<State> state;
};

} // namespace kelvarin::triggerTesting::bench
