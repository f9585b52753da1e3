#include "app/admin/ExpositionCache.hpp"

namespace kelvarin::triggerTesting
{

ExpositionCache::ExpositionCache(BuildFn build, std::chrono::steady_clock::duration period,
                                 Clock clock)
    : build(std::move(build)), period(period), clock(std::move(clock))
{
}

std::shared_ptr<std::string const> ExpositionCache::get()
{
    auto const now = clock();
    if (!text || now - built >= period)
    {
        text = std::make_shared<std::string const>(build());
        built = now;
    }
    return text;
}

} // namespace kelvarin::triggerTesting
