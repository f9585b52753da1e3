#include "app/reload/NewProgramCheck.hpp"

#include "app/reload/ReloadState.hpp"
#include "common/PeerText.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <sys/wait.h>

namespace kelvarin::triggerTesting
{

namespace
{

bool isControllerVersion(std::string_view output)
{
    constexpr std::string_view name = "tt_controller ";
    if (!output.starts_with(name) || !output.ends_with('\n'))
        return false;
    auto const version = output.substr(name.size(), output.size() - name.size() - 1);
    return !version.empty() &&
           std::none_of(version.begin(), version.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
}

// One line of decimal versions, one space between two.
bool readsThisStateFormat(std::string_view output)
{
    if (!output.ends_with('\n'))
        return false;
    output.remove_suffix(1);
    bool found = false;
    for (;;)
    {
        auto const end = output.find(' ');
        auto const word = output.substr(0, end);
        std::uint32_t version = 0;
        auto const [last, error] = std::from_chars(word.data(), word.data() + word.size(), version);
        if (word.empty() || error != std::errc{} || last != word.data() + word.size())
            return false;
        found = found || version == ReloadState::formatVersion;
        if (end == std::string_view::npos)
            return found;
        output.remove_prefix(end + 1);
    }
}

bool anyOutput(std::string_view)
{
    return true;
}

struct Question
{
    char const *flag;
    // The controller's arguments follow the flag.
    bool withCommandLine;
    bool (*accepts)(std::string_view output);
    // What the program is when its answer is not a controller's.
    std::string (*wrong)();
};

constexpr std::array<Question, 3> questions{{
    {"--version", false, isControllerVersion,
     [] { return std::string("does not answer as a controller"); }},
    {"--reload-state-formats", false, readsThisStateFormat,
     [] { return "does not read state format " + std::to_string(ReloadState::formatVersion); }},
    {"--check-config", true, anyOutput, [] { return std::string("refuses the configuration"); }},
}};

std::string howItEnded(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return "killed by signal " + std::to_string(WTERMSIG(status));
}

// As log lines carry a peer's text: escaped, and cut short with the size of the whole.
std::string printed(ChildProcess::Outcome const &outcome)
{
    if (outcome.outputSize == 0)
        return "printed nothing";
    auto text = "printed \"" + peerTextForLog(outcome.output);
    if (outcome.outputSize > outcome.output.size())
        text += " ... (" + std::to_string(outcome.outputSize) + " bytes)";
    return text + "\"";
}

std::string boundText(std::chrono::steady_clock::duration bound)
{
    auto const milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(bound).count();
    if (milliseconds % 1000 == 0)
        return std::to_string(milliseconds / 1000) + " seconds";
    return std::to_string(milliseconds) + " ms";
}

} // namespace

NewProgramCheck::NewProgramCheck(boost::asio::io_context &io, std::string path,
                                 std::vector<std::string> arguments,
                                 std::chrono::steady_clock::duration bound)
    : io(io), path(std::move(path)), arguments(std::move(arguments)), bound(bound)
{
}

void NewProgramCheck::start(Done done)
{
    this->done = std::move(done);
    deadline = std::chrono::steady_clock::now() + bound;
    ask(0);
}

void NewProgramCheck::ask(std::size_t question)
{
    std::vector<std::string> command{path, questions[question].flag};
    if (questions[question].withCommandLine)
        command.insert(command.end(), arguments.begin(), arguments.end());
    auto const run = std::make_shared<ChildProcess>(io, peerTextLogLimit);
    auto const failure =
        run->start(path, command, deadline,
                   [self = shared_from_this(), question](ChildProcess::Outcome const &outcome)
                   { self->onAnswer(question, outcome); });
    if (failure)
        boost::asio::post(io, [self = shared_from_this(), failure]
                          { self->finish("can not be run: " + failure.message()); });
}

void NewProgramCheck::onAnswer(std::size_t question, ChildProcess::Outcome const &outcome)
{
    auto const &asked = questions[question];
    if (!outcome.answered)
    {
        finish("gave no answer within " + boundText(bound) + " (" + asked.flag + ")");
        return;
    }
    // A controller's answers are short: one cut short is not one.
    bool const right = WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0 &&
                       outcome.outputSize == outcome.output.size() && asked.accepts(outcome.output);
    if (!right)
    {
        finish(asked.wrong() + " (" + asked.flag + ": " + howItEnded(outcome.status) + ", " +
               printed(outcome) + ")");
        return;
    }
    if (question + 1 < questions.size())
        ask(question + 1);
    else
        finish("");
}

void NewProgramCheck::finish(std::string const &refusal)
{
    auto const finished = std::move(done);
    finished(refusal);
}

} // namespace kelvarin::triggerTesting
