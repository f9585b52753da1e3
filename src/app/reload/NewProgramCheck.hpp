#pragma once

#include "app/reload/ChildProcess.hpp"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// Asks the program installed at the controller's path, before a reload hands it everything,
// whether it can take over. It must answer as a controller does, three questions one after
// another, each a run of the program as a child process:
// - --version: one line, "tt_controller <version>";
// - --reload-state-formats: the state format versions it reads, among them the one this program
//   writes;
// - --check-config with the controller's own arguments: it accepts the configuration;
// each with exit status 0, and all of them within the bound. The verdict comes on the loop: an
// empty text when the program can take over, else what is wrong with it, such as
// "refuses the configuration (--check-config: exit status 1, printed \"Exception: ...\")".
// Each run holds the check while it waits.
class NewProgramCheck : public std::enable_shared_from_this<NewProgramCheck>
{
public:
    using Done = std::function<void(std::string const &refusal)>;

    // `arguments`: the controller's command line after its name.
    NewProgramCheck(boost::asio::io_context &io, std::string path,
                    std::vector<std::string> arguments,
                    std::chrono::steady_clock::duration bound = std::chrono::seconds(5));
    NewProgramCheck(NewProgramCheck const &) = delete;
    NewProgramCheck &operator=(NewProgramCheck const &) = delete;

    void start(Done done);

private:
    void ask(std::size_t question);
    void onAnswer(std::size_t question, ChildProcess::Outcome const &outcome);
    void finish(std::string const &refusal);

    boost::asio::io_context &io;
    std::string path;
    std::vector<std::string> arguments;
    std::chrono::steady_clock::duration bound;
    std::chrono::steady_clock::time_point deadline;
    Done done;
};

} // namespace kelvarin::triggerTesting
