#include "status/APIStatusSession.hpp"

#include "status/AnswerWatch.hpp"
#include "status/AskerCallback.hpp"
#include "status/DisconnectionMessage.hpp"
#include "status/ReportBacklog.hpp"
#include "status/StatusMessages.hpp"
#include "support/LoopTest.hpp"

#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/post.hpp>

#include <limits>
#include <list>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::chrono_literals;

constexpr unsigned long largestUnit = std::numeric_limits<unsigned long>::max();
StatusTimings const fast{20ms, 1h, 10s};
StatusTimings const watching{20ms, 20ms, 10s};

EtherAddr mac(std::uint8_t last = 0x5e)
{
    return EtherAddr{EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, last}};
}

std::string answer(unsigned long unitId, std::string const &macText, std::string const &result)
{
    return "{\"type\":\"validate\",\"data\":{\"unit_id\":" + std::to_string(unitId) +
           ",\"mac\":\"" + macText + "\",\"result\":" + result + "}}";
}

std::string registration()
{
    return buildValidatorRegistration(boost::asio::ip::host_name());
}

std::string report(unsigned long unitId)
{
    return prepareDisconnectionMessage(unitId, clean, std::chrono::system_clock::time_point{});
}

class APIStatusSessionTest : public LoopTest
{
protected:
    // The session's host resolves to whatever `resolved` holds at the time.
    void startAt(APIStatusSession::Endpoints endpoints, StatusTimings timings = fast)
    {
        resolved = std::move(endpoints);
        session = std::make_unique<APIStatusSession>(
            io, "validator.example.test", "7000", timings,
            [this](APIStatusSession::ResolveHandler handler)
            {
                ++resolutions;
                boost::asio::post(io, [handler, endpoints = resolved] { handler({}, endpoints); });
            });
        session->start();
    }

    void connectTo(FakeApiServer const &server, StatusTimings timings = fast)
    {
        startAt({server.endpoint()}, timings);
        ASSERT_TRUE(waitForLog("API Status: Entering input loop"));
    }

    std::function<void(bool)> recorder()
    {
        return [this](bool valid) { answers.push_back(valid); };
    }

    APIStatusSession::Endpoints resolved;
    int resolutions = 0;
    std::vector<bool> answers;
    std::unique_ptr<APIStatusSession> session;
};

TEST_F(APIStatusSessionTest, RefusedValidatorIsRetriedAfterTheDelay)
{
    auto const begin = std::chrono::steady_clock::now();
    RefusingPort const port(io);
    startAt({port.endpoint()}, {50ms, 1h, 10s});
    ASSERT_TRUE(waitForLog("API Status: Connecting", 4));

    EXPECT_GE(std::chrono::steady_clock::now() - begin, 3 * 50ms); // three waits, four attempts
    EXPECT_EQ(resolutions, 4);
    auto const lines = log.lines();
    ASSERT_GE(lines.size(), 10u);
    Lines const attempt{"API Status: Connecting", "API Status: Cleaning",
                        "API Status: Connect TCP"};
    for (std::size_t i = 0; i < 9; ++i)
        EXPECT_EQ(lines[i], attempt[i % 3]) << i;
}

TEST_F(APIStatusSessionTest, RegistersThenSendsEveryAskAndOneLowerCaseAnswerAnswersAllOfTheKey)
{
    FakeApiServer server(io);
    connectTo(server);
    ASSERT_TRUE(waitForMessages(server, 1));
    EXPECT_EQ(server.newest().host, "validator.example.test");
    EXPECT_EQ(server.newest().target, "/");
    EXPECT_TRUE(session->isOpen());
    EXPECT_EQ(log.lines(), (Lines{"API Status: Connecting", "API Status: Cleaning",
                                  "API Status: Connect TCP", "API Status: Connect Websocket",
                                  "API Status: Connect TT", "API Status: Connect Success",
                                  "API Status: Cleaning up", "API Status: Entering input loop"}));

    session->validate(42, mac(), recorder(), false);
    session->validate(42, mac(), recorder(), false);
    ASSERT_TRUE(waitForMessages(server, 3));
    EXPECT_EQ(server.allReceived(), (Lines{registration(), buildValidateRequest(42, mac()),
                                           buildValidateRequest(42, mac())}));
    EXPECT_EQ(log.linesStartingWith("API status: requested validate"),
              Lines(2, "API status: requested validate for unitId: [42] mac: [001A2B3C4D5E]"));

    server.send(answer(42, "001a2b3c4d5e", "false"));
    server.send(answer(42, "001a2b3c4d5e", "false")); // the key is gone
    ASSERT_TRUE(waitForLog("Could not handle API message: Not found"));
    EXPECT_EQ(answers, (std::vector<bool>{false, false}));
    EXPECT_EQ(log.linesStartingWith("API Status: received"),
              Lines{"API Status: received validate result for unitId:42 and is: 0"});
}

TEST_F(APIStatusSessionTest, FailedAnswersAreLoggedAndLeaveThePendingTableAsTheySay)
{
    FakeApiServer server(io);
    connectTo(server);
    session->validate(42, mac(), recorder(), false);
    session->validate(43, mac(), recorder(), false);
    session->validate(
        44, mac(), [](bool) { throw std::runtime_error("device went away"); }, false);

    // The texts of every parse failure are the answer parser's own; here, what each kind of
    // failure does to the table.
    std::vector<std::pair<std::string, std::string>> const cases{
        {answer(42, "001A2B3C4D5G", "true"), "Tried to create an EtherAddr from an invalid format"},
        {answer(41, "001A2B3C4D5E", "true"), "Not found"},
        // These two take the entry: 43 is never answered, 44's asker failed.
        {answer(43, "001A2B3C4D5E", "\"true\""), "There is no valid \"result\""},
        {answer(44, "001A2B3C4D5E", "true"), "device went away"},
        {answer(43, "001A2B3C4D5E", "true"), "Not found"},
        {answer(44, "001A2B3C4D5E", "true"), "Not found"},
    };
    Lines expected;
    for (auto const &[message, error] : cases)
    {
        server.send(message);
        expected.push_back("Could not handle API message: " + error);
    }
    auto const failures = [&] { return log.linesStartingWith("Could not handle API message: "); };
    ASSERT_TRUE(runUntil([&] { return failures().size() == cases.size(); }));
    EXPECT_EQ(failures(), expected);
    EXPECT_TRUE(answers.empty());

    // The read loop goes on, and 42 is still pending after everything aimed at it.
    server.send(answer(42, "001A2B3C4D5E", "true"));
    ASSERT_TRUE(runUntil([&] { return answers.size() == 1; }));
    EXPECT_EQ(server.connectionCount(), 1u);
}

// Pending validations are asked again in key order after the registration, except those whose
// askers have gone; then the reports made while the validator was away, in their order.
TEST_F(APIStatusSessionTest, WhatWasAskedAndReportedWhileDownFollowsTheRegistration)
{
    FakeApiServer server(io);
    server.setRejecting(true);
    startAt({server.endpoint()});
    session->validate(7, mac(0x02), recorder(), false); // asked while down: logged, kept
    ASSERT_TRUE(waitForLog("API Status: Connect Websocket", 2));
    session->reportDisconnection(report(1));
    session->validate(largestUnit, mac(0x01), recorder(), false);
    session->validate(7, mac(0x01), recorder(), false);
    session->reportDisconnection(report(2));
    session->validate(3, mac(0xff), recorder(), false);
    auto gone = std::make_shared<int>();
    session->validate(5, mac(), AskerCallback{gone, [](void *, bool) {}}, false);
    gone.reset();
    server.setRejecting(false);
    ASSERT_TRUE(waitForMessages(server, 7));

    Lines const ordered{registration(), buildValidateRequest(3, mac(0xff)),
                        buildValidateRequest(7, mac(0x01)), buildValidateRequest(7, mac(0x02)),
                        buildValidateRequest(largestUnit, mac(0x01))};
    Lines sent = ordered;
    sent.insert(sent.end(), {report(1), report(2)});
    EXPECT_EQ(server.newest().received, sent);
    auto const lines = log.lines();
    auto const cleaning = std::find(lines.begin(), lines.end(), "API Status: Cleaning up");
    ASSERT_GE(lines.end() - cleaning, 6);
    EXPECT_EQ(cleaning[1], "API status: requested validate for unitId: [3] mac: [001A2B3C4DFF]");
    EXPECT_EQ(cleaning[5], "API Status: Entering input loop");
    EXPECT_EQ(log.count("API status: requested validate for unitId: [7] mac: [001A2B3C4D02]"), 2u);

    // Neither an answered validation nor a written report is sent again on the next connection.
    server.send(answer(7, "001A2B3C4D01", "true"));
    ASSERT_TRUE(runUntil([&] { return answers.size() == 1; }));
    server.closeNewest();
    ASSERT_TRUE(waitForMessages(server, 11));
    session->reportDisconnection(report(3));
    ASSERT_TRUE(waitForMessages(server, 12));
    EXPECT_EQ(server.connectionCount(), 2u);
    EXPECT_EQ(server.newest().received,
              (Lines{ordered[0], ordered[1], ordered[3], ordered[4], report(3)}));
}

// The watch loop moves the connection only when its address is gone, and the reports whose
// writes had not finished follow it in their order.
TEST_F(APIStatusSessionTest, WatchLoopMovesTheConnectionAndItsUnwrittenReportsOnlyWhenNeeded)
{
    FakeApiServer first(io);
    FakeApiServer second(io);
    first.setReading(false);
    connectTo(first, watching);
    // Larger than the socket buffers: its write cannot finish while the server does not read,
    // and the reports behind it stay queued.
    std::string const stuck = report(1) + std::string(64 << 20, ' ');
    session->reportDisconnection(stuck);
    session->reportDisconnection(report(2));
    session->reportDisconnection(report(3));

    // Several addresses including the current one, then none: nothing moves.
    resolved = {second.endpoint(), first.endpoint()};
    auto checks = resolutions;
    ASSERT_TRUE(runUntil([&] { return resolutions >= checks + 3; }));
    resolved = {};
    checks = resolutions;
    ASSERT_TRUE(runUntil([&] { return resolutions >= checks + 3; }));
    EXPECT_GE(log.count("API Status: validator.example.test resolved to no address, staying with " +
                        toString(first.endpoint())),
              1u);
    EXPECT_EQ(first.connectionCount(), 1u);
    EXPECT_EQ(second.connectionCount(), 0u);

    resolved = {second.endpoint()};
    ASSERT_TRUE(runUntil([&] { return second.allReceived().size() >= 4; }, 30s));
    Lines shortened; // 64 MiB of blanks make an unreadable failure message
    for (auto const &text : second.allReceived())
        shortened.push_back(text == stuck ? "stuck" : text.substr(0, 200));
    EXPECT_EQ(shortened, (Lines{registration(), "stuck", report(2), report(3)}));
    std::string const update = "Updating API Status to " + toString(second.endpoint());
    EXPECT_EQ(log.linesStartingWith("Updating API Status to "), Lines{update});
    auto const lines = log.lines();
    auto const moved = std::find(lines.begin(), lines.end(), update);
    ASSERT_GE(lines.end() - moved, 3);
    std::string const failed = "API Status: Input loop failed with";
    EXPECT_TRUE(moved[1].starts_with(failed) && moved[1].size() > failed.size()) << moved[1];
    EXPECT_EQ(moved[2], "API Status: Connecting");
}

// A validator that takes the requests but answers nothing loses its connection after the answer
// timeout, and the next connection asks again; anything it sends keeps it.
TEST_F(APIStatusSessionTest, SilentValidatorIsGivenUpAfterTheAnswerTimeoutAndAskedAgain)
{
    FakeApiServer server(io);
    // A second is long against this loop's turns and short against the test: a loaded machine
    // that stalls the loop must not make the signs of life below come too late.
    connectTo(server, {20ms, 1h, 10s, 1s});
    session->validate(42, mac(), recorder(), false);
    std::string const givenUp =
        "API Status: no answer for 1 s to a validation request, giving up the connection";
    ASSERT_TRUE(waitForLog(givenUp));
    ASSERT_TRUE(runUntil(
        [&] { return server.connectionCount() == 2 && server.newest().received.size() == 2; }));
    EXPECT_EQ(server.newest().received, (Lines{registration(), buildValidateRequest(42, mac())}));
    auto const lines = log.lines();
    auto const failed = std::find(lines.begin(), lines.end(), givenUp);
    ASSERT_GE(lines.end() - failed, 3);
    EXPECT_EQ(failed[1], "API Status: Input loop failed withOperation canceled");
    EXPECT_EQ(failed[2], "API Status: Connecting");

    // Not an answer, not even a valid message, but a sign of life.
    server.send("{}");
    ASSERT_TRUE(waitForLog("Could not handle API message: There is no valid \"type\""));
    EXPECT_TRUE(neverWithin([&] { return server.connectionCount() > 2; }, 1500ms));
}

// A device connection, as far as the table of pending validations sees one: an object that
// may be gone before its answer comes.
using Asker = std::vector<bool>;
AskerCallback askerCallback(std::shared_ptr<Asker> const &asker)
{
    return {asker, [](void *self, bool valid) { static_cast<Asker *>(self)->push_back(valid); }};
}

TEST_F(APIStatusSessionTest, HeldWriterLeavesReportsInTheBacklogAndResumeWritesThem)
{
    FakeApiServer server(io);
    connectTo(server);
    ASSERT_TRUE(waitForMessages(server, 1));
    session->hold();
    session->reportDisconnection(report(7));
    EXPECT_TRUE(neverWithin([&] { return server.allReceived().size() > 1; }));
    EXPECT_TRUE(session->atHandOverPoint());
    EXPECT_EQ(session->handOver().reports, Lines{report(7)});
    EXPECT_EQ(server.allReceived(), Lines{registration()});
    session->resume();
    ASSERT_TRUE(waitForMessages(server, 2));
    EXPECT_EQ(server.allReceived().back(), report(7));
    EXPECT_EQ(session->reportBacklogSize(), 0u);
}

TEST_F(APIStatusSessionTest, BacklogAndValidationsGoToTheNextSessionAndAreAskedAgainThere)
{
    FakeApiServer server(io);
    connectTo(server);
    auto const first = std::make_shared<Asker>();
    auto const second = std::make_shared<Asker>();
    auto gone = std::make_shared<Asker>();
    session->validate(1, mac(1), askerCallback(first), false);
    session->validate(1, mac(1), askerCallback(second), false);
    session->validate(2, mac(2), askerCallback(gone), false);
    session->validate(3, mac(3), recorder(), false); // no object: cannot be named
    ASSERT_TRUE(waitForMessages(server, 5));
    session->hold();
    session->reportDisconnection(report(7));
    session->reportDisconnection(report(8));
    ASSERT_TRUE(runUntil([&] { return session->atHandOverPoint(); }));
    gone.reset();

    auto const handOver = session->handOver();
    EXPECT_EQ(handOver.reports, (Lines{report(7), report(8)}));
    ASSERT_EQ(handOver.validations.size(), 1u);
    EXPECT_EQ(handOver.validations[0].key.unitId, 1u);
    EXPECT_EQ(handOver.validations[0].key.mac, mac(1));
    EXPECT_EQ(handOver.validations[0].askers,
              (std::vector<void const *>{first.get(), second.get()}));

    // The exec, in one process: the old session stays, held, beside the new one.
    auto const previous = std::move(session);
    startAt({server.endpoint()});
    std::vector<APIStatusSession::AdoptedValidation> validations;
    for (auto const &validation : handOver.validations)
    {
        validations.push_back({validation.key, {}});
        for (auto const *asker : validation.askers)
            validations.back().second.push_back(
                askerCallback(asker == first.get() ? first : second));
    }
    session->adopt(handOver.reports, std::move(validations));
    ASSERT_TRUE(runUntil([&] { return server.newest().received.size() == 4; }));
    EXPECT_EQ(server.connectionCount(), 2u);
    EXPECT_EQ(server.newest().received,
              (Lines{registration(), buildValidateRequest(1, mac(1)), report(7), report(8)}));
    server.send(answer(1, "001A2B3C4D01", "true"));
    ASSERT_TRUE(runUntil([&] { return !second->empty(); }));
    EXPECT_EQ(*first, std::vector<bool>{true});
    EXPECT_EQ(*second, std::vector<bool>{true});
    EXPECT_EQ(session->pendingValidations(), 0u);
    EXPECT_EQ(session->reportBacklogSize(), 0u);
}

// The reports owed to the validator, the oldest of them written while others come.
TEST(ReportBacklogTest, KeepsTheNewestAndLosesOnlyWhatWasWritten)
{
    unsigned long const limit = ReportBacklog::limit;
    ASSERT_EQ(limit, 100000u);
    std::string const full = "API Status: disconnection report backlog full, dropping the oldest: ";
    struct Row
    {
        char const *name;
        unsigned long made, writtenAfter; // reports 1 to made; the oldest written after that one
        unsigned long left, dropped;      // the oldest, each logged
    };
    std::vector<Row> const rows{
        {"beyond the limit the oldest go", limit + 2, limit + 2, limit - 1, 2},
        {"one dropped while written is not taken twice", limit + 1, limit, limit, 1},
    };
    for (auto const &row : rows)
    {
        ClogCapture log;
        ReportBacklog backlog;
        std::uint64_t written = 0;
        for (unsigned long unit = 1; unit <= row.made; ++unit)
        {
            backlog.push(report(unit));
            if (unit == row.writtenAfter)
                written = backlog.next()->number;
        }
        backlog.written(written);
        auto const texts = backlog.texts();
        ASSERT_EQ(texts.size(), row.left) << row.name;
        EXPECT_EQ(texts.front(), report(row.made - row.left + 1)) << row.name;
        EXPECT_EQ(texts.back(), report(row.made)) << row.name;
        EXPECT_EQ(backlog.dropped(), row.dropped) << row.name;
        Lines logged;
        for (unsigned long unit = 1; unit <= row.dropped; ++unit)
            logged.push_back(full + report(unit));
        EXPECT_EQ(log.lines(), logged) << row.name;
    }
}

// Whether a validator that owes answers is given up on, and not before the timeout has passed
// since the request it has said nothing after.
using AnswerWatchTest = LoopTest;
TEST_F(AnswerWatchTest, OnlyAValidatorSilentForTheTimeoutSinceItWasAskedIsGivenUp)
{
    constexpr auto timeout = 300ms;
    struct Row
    {
        char const *name;
        std::string steps; // a: asked, h: heard from, p: half the timeout passes
        int givenUp;
    };
    std::vector<Row> const rows{
        {"silent", "a", 1},
        {"said something", "ah", 0},
        {"asked again after it said something", "apha", 1},
    };
    // Kept to the end: a watch's timer may still be due when the next row runs the loop.
    std::list<AnswerWatch> watches;
    std::vector<int> silences(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
    {
        auto &watch = watches.emplace_back(io, timeout, [&silences, i] { ++silences[i]; });
        auto asked = std::chrono::steady_clock::now();
        for (char const step : rows[i].steps)
        {
            if (step == 'a')
            {
                asked = std::chrono::steady_clock::now();
                watch.expectAnswer();
            }
            else if (step == 'h')
                watch.heard();
            else
                runUntil([] { return false; }, timeout / 2);
        }
        runUntil([&] { return silences[i] > 0; }, 2 * timeout);
        EXPECT_EQ(silences[i], rows[i].givenUp) << rows[i].name;
        EXPECT_TRUE(silences[i] == 0 || std::chrono::steady_clock::now() - asked >= timeout)
            << rows[i].name;
    }
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
