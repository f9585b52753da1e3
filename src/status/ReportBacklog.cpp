#include "status/ReportBacklog.hpp"

#include <iostream>
#include <utility>

namespace kelvarin::triggerTesting
{

void ReportBacklog::push(std::string text)
{
    if (reports.size() >= limit)
    {
        std::clog << "API Status: disconnection report backlog full, dropping the oldest: "
                  << reports.front().text << std::endl;
        reports.pop_front();
        ++droppedTotal;
    }
    reports.push_back({++made, std::move(text)});
}

std::optional<ReportBacklog::Report> ReportBacklog::next() const
{
    if (reports.empty())
        return std::nullopt;
    return reports.front();
}

void ReportBacklog::written(std::uint64_t number)
{
    if (!reports.empty() && reports.front().number == number)
        reports.pop_front();
}

std::vector<std::string> ReportBacklog::texts() const
{
    std::vector<std::string> texts;
    for (auto const &report : reports)
        texts.push_back(report.text);
    return texts;
}

} // namespace kelvarin::triggerTesting
