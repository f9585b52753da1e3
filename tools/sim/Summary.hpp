#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelvarin::triggerTesting::sim
{

// What one simulator role saw, as named counts in a fixed order: printed for a person at the
// end of a run, or as one JSON line for scripts.
class Summary
{
public:
    explicit Summary(std::string role) : role(std::move(role)) {}

    // Names are lower case with underscores, so they serve as JSON member names too.
    void add(std::string name, std::uint64_t value);
    std::uint64_t get(std::string const &name) const;

    // "api summary: executes_sent=12 results_received=24 ..."
    std::string text() const;
    // {"role":"api","executes_sent":12,"results_received":24,...}
    std::string json() const;

private:
    std::string role;
    std::vector<std::pair<std::string, std::uint64_t>> counts;
};

} // namespace kelvarin::triggerTesting::sim
