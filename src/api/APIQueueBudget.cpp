#include "api/APIQueueBudget.hpp"

#include "api/APIWriteQueue.hpp"

#include <algorithm>
#include <iostream>

namespace kelvarin::triggerTesting
{

namespace
{

// What the allocator takes for a request: the size and a word of its own, in 16-byte steps.
constexpr std::size_t allocated(std::size_t size)
{
    return (size + sizeof(std::size_t) + 15) & ~std::size_t{15};
}

// make_shared's one block: the text, its two counts and the block's table pointer.
constexpr std::size_t sharedTextBlock =
    allocated(sizeof(HeldText) + 2 * sizeof(int) + sizeof(void *));

} // namespace

std::size_t queueEntryCost(HeldText const &text)
{
    static std::size_t const inlineCapacity = std::string().capacity();
    // What a reload left mapped in its state file is held there, byte for byte, as long as the
    // text lives.
    std::size_t buffer = text.size();
    if (!text.isKeptElsewhere())
        buffer = text.capacity() > inlineCapacity ? allocated(text.capacity() + 1) : 0;
    return buffer + sharedTextBlock + sizeof(SharedText);
}

APIQueueBudget::APIQueueBudget(boost::asio::io_context &io, std::size_t limit)
    : limit(limit), lineTimer(io)
{
}

void APIQueueBudget::charge(Account &account, std::size_t cost)
{
    unlink(account);
    account.charged += cost;
    total += cost;
    link(account);
}

void APIQueueBudget::refund(Account &account, std::size_t cost)
{
    unlink(account);
    account.charged -= cost;
    total -= cost;
    link(account);
}

void APIQueueBudget::unlink(Account &account)
{
    if (account.is_linked())
        accounts.erase(accounts.iterator_to(account));
}

// Only sessions that hold something take part in the choice of the heaviest.
void APIQueueBudget::link(Account &account)
{
    if (account.charged != 0)
        accounts.insert(account);
}

void APIQueueBudget::enforce()
{
    while (limit != 0 && total > limit)
    {
        // A session whose one message is being written has nothing to drop: the next lighter
        // one gives. The message just queued can always go, so this ends.
        bool dropped = false;
        for (auto it = accounts.rbegin(); it != accounts.rend(); ++it)
        {
            if (it->owner.dropOldest())
            {
                dropped = true;
                break;
            }
        }
        if (!dropped)
            return;
    }
}

void APIQueueBudget::noteDropped(Account &account, boost::asio::ip::tcp::endpoint const &endpoint)
{
    if (account.tally == Account::noTally)
    {
        account.tally = tallies.size();
        tallies.push_back({&account, endpoint, 0});
    }
    ++tallies[account.tally].dropped;
    scheduleLine();
}

void APIQueueBudget::close(Account &account)
{
    unlink(account);
    total -= account.charged;
    account.charged = 0;
    if (account.tally != Account::noTally)
        tallies[account.tally].account = nullptr;
}

void APIQueueBudget::scheduleLine()
{
    if (lineDue)
        return;
    lineDue = true;
    lineTimer.expires_at(std::max(std::chrono::steady_clock::now(), nextLine));
    lineTimer.async_wait(
        [weakSelf = weak_from_this()](boost::system::error_code const &ec)
        {
            if (auto self = weakSelf.lock(); self && ec != boost::asio::error::operation_aborted)
                self->writeLine();
        });
}

void APIQueueBudget::writeDueLine()
{
    if (!lineDue)
        return;
    lineTimer.cancel();
    writeLine();
}

void APIQueueBudget::writeLine()
{
    lineDue = false;
    if (tallies.empty())
        return;
    auto const most =
        std::max_element(tallies.begin(), tallies.end(),
                         [](Tally const &a, Tally const &b) { return a.dropped < b.dropped; });
    std::uint64_t others = 0;
    for (auto const &tally : tallies)
        others += tally.dropped;
    others -= most->dropped;
    std::clog << "API " << most->endpoint << ": queue full, dropped " << most->dropped
              << " messages";
    if (tallies.size() > 1)
        std::clog << ", and " << others << " from " << tallies.size() - 1 << " other sessions";
    std::clog << std::endl;

    for (auto const &tally : tallies)
        if (tally.account != nullptr)
            tally.account->tally = Account::noTally;
    tallies.clear();
    nextLine = std::chrono::steady_clock::now() + std::chrono::seconds(1);
}

} // namespace kelvarin::triggerTesting
