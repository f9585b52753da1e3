#pragma once

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::testSupport
{

// Everything written to std::clog while it lives, split into lines. The service logs there
// and nowhere else, so this is what an operator would read in the journal.
class ClogCapture
{
public:
    ClogCapture() : previous(std::clog.rdbuf(captured.rdbuf())) {}
    ~ClogCapture() { std::clog.rdbuf(previous); }
    ClogCapture(ClogCapture const &) = delete;
    ClogCapture &operator=(ClogCapture const &) = delete;

    std::vector<std::string> lines() const { return linesStartingWith(""); }
    std::vector<std::string> linesStartingWith(std::string const &prefix) const
    {
        std::vector<std::string> result;
        std::istringstream in(captured.str());
        for (std::string line; std::getline(in, line);)
            if (line.starts_with(prefix))
                result.push_back(line);
        return result;
    }
    std::size_t count(std::string const &line) const
    {
        auto const all = lines();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
    }
    void clear() { captured.str({}); }

private:
    std::ostringstream captured;
    std::streambuf *previous;
};

} // namespace kelvarin::triggerTesting::testSupport
