#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <utility>

namespace kelvarin::triggerTesting
{

// The pause of an acceptor after an accept that failed for want of descriptors or memory: the
// next accept would meet the same failure at once, and retrying without a pause would only spin
// the event loop. The pause doubles from 5 ms up to a second while such failures go on.
class AcceptBackoff
{
public:
    explicit AcceptBackoff(boost::asio::any_io_executor const &executor) : timer(executor) {}

    // Whether the failure calls for a pause before the next accept.
    static bool isOutOfResources(boost::system::error_code const &ec);

    // Waits the next pause, then calls next; a cancelled wait calls nothing.
    template <typename Next> void wait(Next next)
    {
        lengthen();
        timer.expires_after(pause);
        timer.async_wait(
            [next = std::move(next)](boost::system::error_code const &ec) mutable
            {
                if (!ec)
                    next();
            });
    }
    // An accept succeeded: the next failure pauses briefly again.
    void reset() { pause = std::chrono::milliseconds::zero(); }
    void cancel() { timer.cancel(); }

private:
    void lengthen();

    boost::asio::steady_timer timer;
    std::chrono::milliseconds pause{0};
};

} // namespace kelvarin::triggerTesting
