#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <optional>

namespace kelvarin::triggerTesting
{

// Tells when a validator that owes answers has said nothing at all for the timeout since the
// first request it was sent after its last message: one that stopped reading but still answers
// pings, say. Anything it sends counts, answer or not. One timer, armed when an answer is first
// owed; the deadline moves with every message, and the timer only checks it when it wakes.
class AnswerWatch
{
public:
    using Clock = std::chrono::steady_clock;

    AnswerWatch(boost::asio::io_context &io, Clock::duration timeout,
                std::function<void()> onSilence);
    AnswerWatch(AnswerWatch const &) = delete;
    AnswerWatch &operator=(AnswerWatch const &) = delete;

    // A request went out: the validator owes an answer, since now unless it did already.
    void expectAnswer();
    // The validator said something, or a new connection begins: nothing is owed.
    void heard() { unansweredSince.reset(); }

private:
    void arm(Clock::time_point expiry);
    void onTimer(boost::system::error_code const &ec);

    Clock::duration timeout;
    std::function<void()> onSilence;
    // When the first request owed since the validator's last message went out.
    std::optional<Clock::time_point> unansweredSince;
    boost::asio::steady_timer timer;
    bool armed = false;
};

} // namespace kelvarin::triggerTesting
