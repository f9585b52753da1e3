#include "sim/Summary.hpp"

#include "api/Utils.hpp"

#include <stdexcept>

namespace kelvarin::triggerTesting::sim
{

void Summary::add(std::string name, std::uint64_t value)
{
    counts.emplace_back(std::move(name), value);
}

std::uint64_t Summary::get(std::string const &name) const
{
    for (auto const &[countName, value] : counts)
        if (countName == name)
            return value;
    throw std::out_of_range("no count named " + name);
}

std::string Summary::text() const
{
    std::string line = role + " summary:";
    for (auto const &[name, value] : counts)
        line += " " + name + "=" + std::to_string(value);
    return line;
}

std::string Summary::json() const
{
    std::string line = "{\"role\":" + Utils::quoted(role);
    for (auto const &[name, value] : counts)
        line.append(",").append(Utils::quoted(name)).append(":").append(std::to_string(value));
    return line.append("}");
}

} // namespace kelvarin::triggerTesting::sim
