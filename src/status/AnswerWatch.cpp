#include "status/AnswerWatch.hpp"

#include <utility>

namespace kelvarin::triggerTesting
{

AnswerWatch::AnswerWatch(boost::asio::io_context &io, Clock::duration timeout,
                         std::function<void()> onSilence)
    : timeout(timeout), onSilence(std::move(onSilence)), timer(io)
{
}

void AnswerWatch::expectAnswer()
{
    if (!unansweredSince)
        unansweredSince = Clock::now();
    if (!armed)
        arm(*unansweredSince + timeout);
}

void AnswerWatch::arm(Clock::time_point expiry)
{
    armed = true;
    timer.expires_at(expiry);
    timer.async_wait([this](boost::system::error_code const &ec) { onTimer(ec); });
}

void AnswerWatch::onTimer(boost::system::error_code const &ec)
{
    armed = false;
    if (ec == boost::asio::error::operation_aborted || !unansweredSince)
        return;
    auto const deadline = *unansweredSince + timeout;
    if (Clock::now() < deadline)
    {
        arm(deadline);
        return;
    }
    onSilence();
}

} // namespace kelvarin::triggerTesting
