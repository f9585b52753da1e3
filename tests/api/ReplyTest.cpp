#include "api/Reply.hpp"

#include <boost/uuid/uuid.hpp>

#include <gtest/gtest.h>

namespace kelvarin::triggerTesting
{
namespace
{

TEST(ReplyTest, IsLastForErrorsAndLastResults)
{
    boost::uuids::uuid const id{};
    EXPECT_TRUE(Reply(id, Error(Error::UNKNOWN, "")).isLast());
    EXPECT_TRUE(Reply(id, Result("{}", true)).isLast());
    EXPECT_FALSE(Reply(id, Result("{}", false)).isLast());
}

} // namespace
} // namespace kelvarin::triggerTesting
