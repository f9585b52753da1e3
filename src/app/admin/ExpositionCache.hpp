#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace kelvarin::triggerTesting
{

// Builds the metrics exposition at most once a period and hands the same text to every scrape
// in between. A thousand API sessions make a text of some 140 kB that takes a millisecond and
// more to build: scrapers back to back would otherwise take the loop from the devices.
class ExpositionCache
{
public:
    using BuildFn = std::function<std::string()>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit ExpositionCache(BuildFn build,
                             std::chrono::steady_clock::duration period = std::chrono::seconds(1),
                             Clock clock = std::chrono::steady_clock::now);

    std::shared_ptr<std::string const> get();

private:
    BuildFn build;
    std::chrono::steady_clock::duration period;
    Clock clock;
    std::shared_ptr<std::string const> text;
    std::chrono::steady_clock::time_point built;
};

} // namespace kelvarin::triggerTesting
