#include "status/ValidateRequestsManager.hpp"

#include "status/AskerCallback.hpp"
#include "status/ValidationQueue.hpp"
#include "support/ClogCapture.hpp"
#include "support/Helpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

using Answers = std::vector<std::string>;

ValidateMessage::IdType key(std::uint64_t unitId, std::uint8_t lastOctet = 0x5e)
{
    return {unitId, EtherAddr{EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, lastOctet}}};
}

class ValidateRequestsManagerTest : public ::testing::Test
{
protected:
    // A waiter that records its answer under its name.
    ValidateRequestsManager::Callback waiter(std::string name)
    {
        return [this, name](bool valid) { answers.push_back(name + (valid ? ":1" : ":0")); };
    }

    std::string takeFailure(ValidateMessage::IdType const &id)
    {
        return testSupport::failureOf<std::runtime_error>([&] { manager.takeRequestCallback(id); });
    }

    ValidateRequestsManager manager;
    Answers answers;
};

// Even when one of them fails: the failure reaches the caller after the others have heard.
TEST_F(ValidateRequestsManagerTest, EveryAskerOfAKeyIsAnsweredOnceAndTheKeyIsGone)
{
    manager.storeRequestCallback(key(42), waiter("first"));
    manager.storeRequestCallback(key(42), nullptr); // never stored
    manager.storeRequestCallback(key(42), waiter("second"));
    manager.storeRequestCallback(key(7), [](bool) { throw std::runtime_error("device gone"); });
    manager.storeRequestCallback(key(7), waiter("other"));
    EXPECT_EQ(manager.pending().at(key(42)).size(), 2u);

    EXPECT_EQ(takeFailure(key(8)), "Not found");
    EXPECT_EQ(takeFailure(key(42, 0x5f)), "Not found");
    manager.takeRequestCallback(key(42))(true);
    EXPECT_EQ(answers, (Answers{"first:1", "second:1"}));
    EXPECT_EQ(takeFailure(key(42)), "Not found");
    ASSERT_EQ(manager.pending().size(), 1u);
    auto answer = manager.takeRequestCallback(key(7));
    EXPECT_EQ(testSupport::failureOf<std::runtime_error>([&] { answer(false); }), "device gone");
    EXPECT_EQ(answers, (Answers{"first:1", "second:1", "other:0"}));
    EXPECT_TRUE(manager.pending().empty());
}

// An asker that can go away, as a device connection does.
struct Asker
{
    static ValidateRequestsManager::Callback callback(std::shared_ptr<Asker> const &asker)
    {
        return AskerCallback{asker, [](void *self, bool valid)
                             { static_cast<Asker *>(self)->answers.push_back(valid); }};
    }
    std::vector<bool> answers;
};

TEST_F(ValidateRequestsManagerTest, AskersThatAreGoneAreForgotten)
{
    // When their key is asked again.
    for (int attempt = 0; attempt < 1000; ++attempt)
        manager.storeRequestCallback(key(42), Asker::callback(std::make_shared<Asker>()));
    auto const live = std::make_shared<Asker>();
    manager.storeRequestCallback(key(42), Asker::callback(live));
    EXPECT_EQ(manager.pending().at(key(42)).size(), 1u);

    // A key is awaited while one of its askers is there, swept or not.
    auto gone = std::make_shared<Asker>();
    manager.storeRequestCallback(key(43), Asker::callback(gone));
    EXPECT_TRUE(manager.isAwaited(key(43)));
    gone.reset();
    EXPECT_FALSE(manager.isAwaited(key(43)));
    EXPECT_TRUE(manager.isAwaited(key(42)));
    EXPECT_FALSE(manager.isAwaited(key(42, 0x5f)));

    // When the table has grown, and by a sweep; plain callbacks cannot tell and are kept.
    manager.storeRequestCallback(key(2), waiter("plain"));
    for (std::uint64_t unit = 100; unit < 10100; ++unit)
        manager.storeRequestCallback(key(unit), Asker::callback(std::make_shared<Asker>()));
    EXPECT_LT(manager.pending().size(), 200u);
    manager.dropGoneAskers();
    ASSERT_EQ(manager.pending().size(), 2u);
    EXPECT_TRUE(manager.pending().contains(key(2)));
    EXPECT_TRUE(manager.isAwaited(key(2)));
    manager.takeRequestCallback(key(42))(true);
    EXPECT_EQ(live->answers, std::vector<bool>{true});
}

// The requests waiting to be written: what is taken for writing, how far the queue grows, and
// what is dropped at its limit.
TEST(ValidationQueueTest, GoneAskersAndRepeatsAreNotWrittenAndTheQueueIsBounded)
{
    std::uint64_t const limit = ValidationQueue::limit;
    ASSERT_EQ(limit, 100000u);
    std::string const full =
        "API Status: validation queue full, dropping the request for unitId: [";
    struct Row
    {
        char const *name;
        std::uint64_t asks; // each of its own unit, from 1
        // Only the first asker waits, the others are gone once they have asked, and every other
        // ask is unit 1's again.
        bool churn;
        std::size_t largestAtMost;
        std::uint64_t taken;   // units 1 to this are taken, in order
        std::uint64_t dropped; // the last asks, each logged
    };
    std::vector<Row> const rows{
        {"gone askers and repeats swept as the queue grows", 1000, true, 100, 1, 0},
        {"full at the limit", limit + 2, false, limit, limit, 2},
    };
    for (auto const &row : rows)
    {
        testSupport::ClogCapture log;
        ValidateRequestsManager requests;
        ValidationQueue queue(requests);
        std::vector<std::shared_ptr<Asker>> waiting;
        std::size_t largest = 0;
        for (std::uint64_t ask = 1; ask <= row.asks; ++ask)
        {
            auto const unit = row.churn && ask % 2 == 1 ? 1 : ask;
            auto const asker = std::make_shared<Asker>();
            requests.storeRequestCallback(key(unit), Asker::callback(asker));
            if (!row.churn || ask == 1)
                waiting.push_back(asker);
            queue.push(key(unit));
            largest = std::max(largest, queue.size());
        }
        std::uint64_t taken = 0;
        while (auto const next = queue.take())
        {
            // A repeat not yet swept does no harm: one answer answers all.
            EXPECT_TRUE(next->unitId == taken || next->unitId == taken + 1) << row.name;
            taken = next->unitId;
        }
        EXPECT_EQ(taken, row.taken) << row.name;
        EXPECT_LE(largest, row.largestAtMost) << row.name;
        EXPECT_EQ(queue.dropped(), row.dropped) << row.name;
        testSupport::Lines logged;
        for (auto unit = row.asks - row.dropped + 1; unit <= row.asks; ++unit)
            logged.push_back(full + std::to_string(unit) + "] mac: [001A2B3C4D5E]");
        EXPECT_EQ(log.lines(), logged) << row.name;
    }
}

} // namespace
} // namespace kelvarin::triggerTesting
