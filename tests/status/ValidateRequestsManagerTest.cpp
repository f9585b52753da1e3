#include "status/ValidateRequestsManager.hpp"

#include "status/AskerCallback.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

ValidateMessage::IdType key(std::uint64_t unitId, std::uint8_t lastOctet = 0x5e)
{
    return {unitId, EtherAddr{EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, lastOctet}}};
}

// Records every answer with the name of the waiter that got it.
struct AnswerLog
{
    std::vector<std::string> answers;

    ValidateRequestsManager::Callback waiter(std::string name)
    {
        return [this, name](bool valid) { answers.push_back(name + (valid ? ":1" : ":0")); };
    }
};

void expectNotFound(ValidateRequestsManager &manager, ValidateMessage::IdType const &id)
{
    try
    {
        manager.takeRequestCallback(id);
        ADD_FAILURE() << "took a callback for unit " << id.unitId;
    }
    catch (std::runtime_error const &error)
    {
        EXPECT_STREQ(error.what(), "Not found");
    }
}

TEST(ValidateRequestsManagerTest, TakeRemovesTheKeyAndAnswersTheWaiter)
{
    ValidateRequestsManager manager;
    AnswerLog log;
    manager.storeRequestCallback(key(42), log.waiter("a"));

    auto answer = manager.takeRequestCallback(key(42));
    EXPECT_TRUE(manager.pending().empty());
    answer(false);
    EXPECT_EQ(log.answers, (std::vector<std::string>{"a:0"}));

    expectNotFound(manager, key(42));
}

TEST(ValidateRequestsManagerTest, SecondAskerOfAPendingKeyIsAnsweredToo)
{
    ValidateRequestsManager manager;
    AnswerLog log;
    manager.storeRequestCallback(key(42), log.waiter("first"));
    manager.storeRequestCallback(key(42), log.waiter("second"));
    ASSERT_EQ(manager.pending().size(), 1u);
    EXPECT_EQ(manager.pending().begin()->second.size(), 2u);

    manager.takeRequestCallback(key(42))(true);
    EXPECT_EQ(log.answers, (std::vector<std::string>{"first:1", "second:1"}));
    expectNotFound(manager, key(42));
}

TEST(ValidateRequestsManagerTest, EveryWaiterHearsTheAnswerWhenOneFails)
{
    ValidateRequestsManager manager;
    AnswerLog log;
    manager.storeRequestCallback(key(1), [](bool) { throw std::runtime_error("device gone"); });
    manager.storeRequestCallback(key(1), log.waiter("second"));

    auto answer = manager.takeRequestCallback(key(1));
    EXPECT_THROW(
        {
            try
            {
                answer(true);
            }
            catch (std::runtime_error const &error)
            {
                EXPECT_STREQ(error.what(), "device gone");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(log.answers, (std::vector<std::string>{"second:1"}));
}

TEST(ValidateRequestsManagerTest, EmptyCallbacksAreNeverStored)
{
    ValidateRequestsManager manager;
    AnswerLog log;
    manager.storeRequestCallback(key(3), nullptr);
    EXPECT_TRUE(manager.pending().empty());
    expectNotFound(manager, key(3));

    manager.storeRequestCallback(key(3), log.waiter("a"));
    manager.storeRequestCallback(key(3), nullptr);
    EXPECT_EQ(manager.pending().at(key(3)).size(), 1u);
    manager.takeRequestCallback(key(3))(true);
    EXPECT_EQ(log.answers, (std::vector<std::string>{"a:1"}));
}

TEST(ValidateRequestsManagerTest, FailedTakeLeavesTheTableUnchanged)
{
    ValidateRequestsManager manager;
    AnswerLog log;
    manager.storeRequestCallback(key(7), log.waiter("a"));

    expectNotFound(manager, key(8));
    expectNotFound(manager, key(7, 0x5f));
    ASSERT_EQ(manager.pending().size(), 1u);
    EXPECT_EQ(manager.pending().begin()->first.unitId, 7u);
    EXPECT_TRUE(log.answers.empty());

    manager.takeRequestCallback(key(7))(true);
    EXPECT_EQ(log.answers, (std::vector<std::string>{"a:1"}));
}

TEST(ValidateRequestsManagerTest, KeysAreIndependentAndListedInAscendingOrder)
{
    ValidateRequestsManager manager;
    AnswerLog log;
    manager.storeRequestCallback(key(9, 0x02), log.waiter("9b"));
    manager.storeRequestCallback(key(2), log.waiter("2"));
    manager.storeRequestCallback(key(9, 0x01), log.waiter("9a"));

    std::vector<std::string> order;
    for (auto const &[id, waiters] : manager.pending())
        order.push_back(std::to_string(id.unitId) + "/" + id.mac.toString());
    EXPECT_EQ(order,
              (std::vector<std::string>{"2/001A2B3C4D5E", "9/001A2B3C4D01", "9/001A2B3C4D02"}));

    manager.takeRequestCallback(key(9, 0x02))(false);
    EXPECT_EQ(log.answers, (std::vector<std::string>{"9b:0"}));
    EXPECT_EQ(manager.pending().size(), 2u);
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

TEST(ValidateRequestsManagerTest, AskersThatAreGoneAreForgottenWhenTheirKeyIsAskedAgain)
{
    ValidateRequestsManager manager;
    for (int attempt = 0; attempt < 1000; ++attempt)
        manager.storeRequestCallback(key(42), Asker::callback(std::make_shared<Asker>()));
    auto const live = std::make_shared<Asker>();
    manager.storeRequestCallback(key(42), Asker::callback(live));
    ASSERT_EQ(manager.pending().at(key(42)).size(), 1u);

    manager.takeRequestCallback(key(42))(true);
    EXPECT_EQ(live->answers, std::vector<bool>{true});
}

TEST(ValidateRequestsManagerTest, KeysOfAskersThatAreAllGoneAreDroppedByASweep)
{
    ValidateRequestsManager manager;
    AnswerLog log;
    auto const live = std::make_shared<Asker>();
    manager.storeRequestCallback(key(1), Asker::callback(live));
    manager.storeRequestCallback(key(2), log.waiter("plain")); // cannot tell: kept
    // Distinct units that came and went: the table does not keep them all.
    for (std::uint64_t unit = 100; unit < 10100; ++unit)
        manager.storeRequestCallback(key(unit), Asker::callback(std::make_shared<Asker>()));
    EXPECT_LT(manager.pending().size(), 200u);

    manager.dropGoneAskers();
    ASSERT_EQ(manager.pending().size(), 2u);
    EXPECT_TRUE(manager.pending().contains(key(1)));
    EXPECT_TRUE(manager.pending().contains(key(2)));
}

} // namespace
} // namespace kelvarin::triggerTesting
