#include "sim/EventRecord.hpp"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace kelvarin::triggerTesting::sim
{
namespace
{

class EventRecordTest : public ::testing::Test
{
protected:
    void TearDown() override { std::remove(path.c_str()); }

    std::vector<std::string> lines() const
    {
        std::ifstream in(path);
        std::vector<std::string> read;
        for (std::string line; std::getline(in, line);)
            read.push_back(line);
        return read;
    }

    std::string const path =
        ::testing::TempDir() + "event_record_" + std::to_string(::getpid()) + ".jsonl";
};

// Each event is on the file as soon as it is written: a killed simulator loses nothing.
TEST_F(EventRecordTest, OneFlushedJsonLinePerEventWithItsMembersInOrder)
{
    EventRecord record(path);
    auto const before = std::chrono::system_clock::now();
    record.write(EventRecord::Event("dev_result")
                     .text("test", "0123abcd-4567-89ef-fedc-ba9876543210")
                     .flag("last", true)
                     .text("text", "{\"status\":\"ok\"}")
                     .number("unit", 18446744073709551615ull));
    record.write(EventRecord::Event("dev_end").flag("admitted", false));
    auto const written = lines();
    ASSERT_EQ(written.size(), 2u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        written[0], match,
        std::regex(R"(\{"t":(\d+)\.(\d{6}),"ev":"dev_result","test":"0123abcd-4567-89ef-)"
                   R"(fedc-ba9876543210","last":true,"text":"\{\\"status\\":\\"ok\\"\}",)"
                   R"("unit":18446744073709551615\})")))
        << written[0];
    auto const seconds = std::stoll(match[1]);
    auto const since = std::chrono::duration_cast<std::chrono::seconds>(
                           before.time_since_epoch())
                           .count();
    EXPECT_GE(seconds, since);
    EXPECT_LE(seconds, since + 60);
    EXPECT_TRUE(std::regex_match(written[1],
                                 std::regex(R"(\{"t":\d+\.\d{6},"ev":"dev_end","admitted":false\})")))
        << written[1];
}

TEST_F(EventRecordTest, AFileThatCannotBeOpenedIsAnError)
{
    EXPECT_THROW(EventRecord("/nonexistent-directory/record.jsonl"), std::runtime_error);
}

} // namespace
} // namespace kelvarin::triggerTesting::sim
