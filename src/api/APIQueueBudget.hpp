#pragma once

#include "common/HeldText.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/intrusive/set.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

class APIWriteQueue;

// What a queued message costs its session: the text's buffer, the shared string with its
// counts, and the queue's slot, each allocation with the allocator's own word and rounding. A
// text that several sessions share counts in full in each of them, so what is charged is never
// less than what is held.
std::size_t queueEntryCost(HeldText const &text);

// One bound on the unsent messages of all API sessions together. Every session charges the
// cost of each message it queues and is refunded when the message is written or dropped. When
// the sum exceeds the limit, the oldest unsent messages of the session that holds the most go
// first: a server that is away loses its backlog before a slow one loses anything.
//
// Drops are told in one line a second at most, for the whole API side, naming the session that
// dropped the most in that second and summing the others. The line of a second is written at
// its end, or, after a quiet second, once the handlers that are ready have run, so that the
// drops of one result's fan-out to every server make one line.
class APIQueueBudget : public std::enable_shared_from_this<APIQueueBudget>
{
public:
    // One session's part: what its queue holds, and its place among the others by that. A
    // member of the queue, which closes it on its way out.
    class Account : public boost::intrusive::set_base_hook<>
    {
    public:
        explicit Account(APIWriteQueue &owner) : owner(owner) {}
        Account(Account const &) = delete;
        Account &operator=(Account const &) = delete;

        std::size_t cost() const { return charged; }
        bool operator<(Account const &other) const { return charged < other.charged; }

    private:
        friend class APIQueueBudget;
        static constexpr std::size_t noTally = std::numeric_limits<std::size_t>::max();

        APIWriteQueue &owner;
        std::size_t charged = 0;
        std::size_t tally = noTally; // its drops in the current second
    };

    // A limit of 0 leaves the queues unbounded.
    APIQueueBudget(boost::asio::io_context &io, std::size_t limit);
    APIQueueBudget(APIQueueBudget const &) = delete;
    APIQueueBudget &operator=(APIQueueBudget const &) = delete;

    // Whether a message of that cost may be queued at all; one larger than the whole budget
    // may not.
    bool admits(std::size_t cost) const { return limit == 0 || cost <= limit; }
    void charge(Account &account, std::size_t cost);
    void refund(Account &account, std::size_t cost);
    // Drops the oldest unsent messages of the heaviest sessions until the charges fit.
    void enforce();
    // Counts a message a session dropped towards the next drop line.
    void noteDropped(Account &account, boost::asio::ip::tcp::endpoint const &endpoint);
    // The session is going: its charges are refunded, its drops stay counted.
    void close(Account &account);
    // The drops not yet told are told now: the program is about to be replaced, and a line
    // left for the end of the second would never be written.
    void writeDueLine();

    std::size_t getLimit() const { return limit; }
    std::size_t spent() const { return total; }

private:
    struct Tally
    {
        Account *account; // null once its session is gone
        boost::asio::ip::tcp::endpoint endpoint;
        std::uint64_t dropped;
    };

    void unlink(Account &account);
    void link(Account &account);
    void scheduleLine();
    void writeLine();

    std::size_t limit;
    std::size_t total = 0;
    // The sessions that hold something, lightest first.
    boost::intrusive::multiset<Account> accounts;

    std::vector<Tally> tallies;
    boost::asio::steady_timer lineTimer;
    std::chrono::steady_clock::time_point nextLine{};
    bool lineDue = false;
};

} // namespace kelvarin::triggerTesting
