#include "api/PeriodicResolver.hpp"

#include "support/LoopTest.hpp"

#include <vector>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

TEST(PeriodicResolverTest, HandsEveryAnswerOnAtItsInterval)
{
    boost::asio::io_context io;
    std::vector<std::vector<tcp::endpoint>> answers;
    PeriodicResolver resolver(io, "127.0.0.5", "10002", 1s,
                              [&](PeriodicResolver::Results const &results)
                              {
                                  answers.emplace_back();
                                  for (auto const &entry : results)
                                      answers.back().push_back(entry.endpoint());
                              });
    resolver.start();
    ASSERT_TRUE(runUntil(io, [&] { return answers.size() >= 2; }));
    for (auto const &answer : answers)
        EXPECT_EQ(answer, std::vector<tcp::endpoint>{
                              tcp::endpoint(boost::asio::ip::make_address("127.0.0.5"), 10002)});
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
