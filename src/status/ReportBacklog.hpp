#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// The disconnection reports not yet written to the validator, oldest first, kept across
// connections. A report leaves only once its write has succeeded, so a lost connection loses
// none; when the backlog is full, the oldest report goes, with a log line.
class ReportBacklog
{
public:
    static constexpr std::size_t limit = 100000;

    struct Report
    {
        std::uint64_t number; // tells a report from another with the same text
        std::string text;
    };

    void push(std::string text);
    // A copy of the oldest report, to be written: the backlog may be cut while it is.
    std::optional<Report> next() const;
    // The report of that number has been written: it goes, unless it went already.
    void written(std::uint64_t number);

    bool empty() const { return reports.empty(); }
    std::size_t size() const { return reports.size(); }
    // Reports dropped at the limit since the start.
    std::uint64_t dropped() const { return droppedTotal; }
    std::vector<std::string> texts() const;

private:
    std::deque<Report> reports;
    std::uint64_t droppedTotal = 0;
    std::uint64_t made = 0;
};

} // namespace kelvarin::triggerTesting
