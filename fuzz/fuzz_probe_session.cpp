// Device sessions: a real ProbeSession behind a real loopback connection, driven by a WebSocket
// client through any sequence of device messages, validation answers and run messages. Whatever
// the device sends, the session ends when its connection does, leaves no trace in the tracker,
// reports only an admitted device, forwards results only of an admitted device, and writes to the
// device exactly what was queued for it, in order. Before admission it holds no more than a
// register message's room of what the device sends, never more than the receive budget, and
// gives every byte back to the budget when it ends.
//
// Input: one settings byte, then steps, each an operation byte and what it needs:
//   settings bits 0-1  when the validate function answers: 0 within the call, 1 posted to the
//                      loop, 2 held until an answer step, 3 never (the answer is dropped)
//   settings bit 2     the verdict given within the call or posted: accepted when set
//   settings bit 3     the test result function throws
//   settings bit 4     a receive budget of a few KiB instead of none
//   settings bit 5     the register message must come within a millisecond of the handshake
//   op % 4 == 0        a binary message: two bytes of length (big-endian), then the message
//   op % 4 == 1        the same, sent as a text message
//                      (either with op bit 3 set: only a fragment, the message goes on in the
//                      next one)
//   op % 4 == 2        a run message queued on the session: one byte of length, then its data
//   op % 4 == 3        the held validation is answered, accepted when bit 2 of op is set
// After each step the client waits for the session to have dealt with it (a ping is answered
// only once the session reads again), so a step's place in the sequence is where it acts. After
// the last step the client closes the WebSocket, the session is stopped and the loop drained.
#include "device/DeviceProtocol.hpp"
#include "device/ProbeSession.hpp"
#include "device/ProbeTracker.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/uuid/uuid.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

using namespace kelvarin::triggerTesting;

namespace
{

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Keeps one input short however long the input is.
constexpr std::size_t maxSteps = 64;
// Far beyond what one input takes; reaching it means the session or the client got stuck.
constexpr std::chrono::seconds inputDeadline{20};

enum class AnswerTiming
{
    withinCall = 0,
    posted = 1,
    held = 2,
    dropped = 3,
};

// Small enough that a few fragments cross it.
constexpr std::size_t smallBudget = 6000;

struct Settings
{
    AnswerTiming timing = AnswerTiming::withinCall;
    bool verdict = false;
    bool resultThrows = false;
    bool budgeted = false;
    bool hurried = false;
};

struct Step
{
    enum class Kind
    {
        binary = 0,
        text = 1,
        run = 2,
        answer = 3,
    };
    Kind kind = Kind::binary;
    std::string bytes;
    bool accept = false;
    bool fragment = false;
};

[[noreturn]] void fail(char const *what)
{
    std::fprintf(stderr, "fuzz_probe_session: %s\n", what);
    std::abort();
}

class InputReader
{
public:
    InputReader(std::uint8_t const *data, std::size_t size) : data(data), size(size) {}

    bool atEnd() const { return offset == size; }
    std::uint8_t byte() { return atEnd() ? 0 : data[offset++]; }
    std::string bytes(std::size_t count)
    {
        count = std::min(count, size - offset);
        std::string taken(reinterpret_cast<char const *>(data) + offset, count);
        offset += count;
        return taken;
    }

private:
    std::uint8_t const *data;
    std::size_t size;
    std::size_t offset = 0;
};

Settings readSettings(InputReader &input)
{
    auto const bits = input.byte();
    return {static_cast<AnswerTiming>(bits & 3), (bits & 4) != 0, (bits & 8) != 0, (bits & 16) != 0,
            (bits & 32) != 0};
}

std::vector<Step> readSteps(InputReader &input)
{
    std::vector<Step> steps;
    while (!input.atEnd() && steps.size() < maxSteps)
    {
        auto const op = input.byte();
        Step step;
        step.kind = static_cast<Step::Kind>(op & 3);
        switch (step.kind)
        {
        case Step::Kind::binary:
        case Step::Kind::text:
        {
            std::size_t length = input.byte();
            length = length << 8 | input.byte();
            step.bytes = input.bytes(length);
            step.fragment = (op & 8) != 0;
            break;
        }
        case Step::Kind::run:
            step.bytes = input.bytes(input.byte());
            break;
        case Step::Kind::answer:
            step.accept = (op & 4) != 0;
            break;
        }
        steps.push_back(std::move(step));
    }
    return steps;
}

// Every input listens on the same port, taken once from the kernel's ephemeral range. A new
// port per input would run the range dry within a minute: the connections an input leaves in
// TIME_WAIT keep their port from being handed out again. The acceptor reuses the address, so
// those leftovers do not stop the next bind.
tcp::endpoint const &listenEndpoint()
{
    static tcp::endpoint const endpoint = []
    {
        asio::io_context io;
        tcp::acceptor probe(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        return probe.local_endpoint();
    }();
    return endpoint;
}

// One input: the session, its device and the loop they share, from the connection to the
// drained loop.
class SessionRun
{
public:
    SessionRun(Settings settings, std::vector<Step> steps)
        : settings(settings), steps(std::move(steps)), acceptor(io, listenEndpoint()), guard(io),
          client(io)
    {
        validateFn =
            [this](unsigned long const &unitId, EtherAddr const &, std::function<void(bool)> answer)
        { onValidate(unitId, std::move(answer)); };
        testResultFn = [this](Reply) { onResult(); };
        reportDisconnectFn = [this](unsigned long const &unitId, disconnection_reason,
                                    std::chrono::system_clock::time_point) { onReport(unitId); };
        tracker.setSessionEndFn([this](void const *ended) { onSessionEnd(ended); });
        if (settings.budgeted)
            tracker.receiveBudget().setLimit(smallBudget);
        ProbeSession::Timeouts timeouts;
        if (settings.hurried)
            timeouts.registration = std::chrono::milliseconds(1);
        session = std::make_shared<ProbeSession>(io.get_executor(), validateFn, testResultFn,
                                                 reportDisconnectFn, tracker, timeouts);
    }

    void run()
    {
        guard.expires_after(inputDeadline);
        guard.async_wait(
            [](error_code const &ec)
            {
                if (!ec)
                    fail("the input did not finish before its deadline");
            });
        acceptor.async_accept(session->socket(), [this](error_code const &ec) { onAccept(ec); });
        client.next_layer().async_connect(acceptor.local_endpoint(),
                                          [this](error_code const &ec) { onConnect(ec); });
        io.run();
        checkAfterDrain();
    }

private:
    void onAccept(error_code const &ec)
    {
        if (ec)
            fail("accepting the loopback connection failed");
        // Each step is a small write followed by a ping, and the answers are small too: without
        // this, Nagle's algorithm and delayed acknowledgements cost tens of milliseconds a step.
        session->socket().set_option(tcp::no_delay(true));
        session->start();
    }

    void onConnect(error_code const &ec)
    {
        if (ec)
            fail("connecting over loopback failed");
        client.next_layer().set_option(tcp::no_delay(true));
        client.control_callback(
            [this](websocket::frame_type kind, beast::string_view payload)
            {
                if (kind == websocket::frame_type::pong && payload == std::to_string(pings))
                {
                    pongAwaited = false;
                    continueWhenSessionCaughtUp();
                }
            });
        client.async_handshake("127.0.0.1", "/", [this](error_code const &ec) { onHandshake(ec); });
    }

    void onHandshake(error_code const &ec)
    {
        if (ec)
        {
            connectionGone = true;
            finish();
            return;
        }
        startReading();
        // The first pong also tells that the session has finished its side of the handshake,
        // so run messages are never queued before the session can write them.
        waitForSession();
    }

    void startReading()
    {
        client.async_read(readBuffer, [this](error_code const &ec, std::size_t) { onRead(ec); });
    }

    void onRead(error_code const &ec)
    {
        if (ec)
        {
            connectionGone = true;
            readerDone = true;
            pongAwaited = false;
            continueWhenSessionCaughtUp();
            if (closing)
                end();
            return;
        }
        received.push_back(beast::buffers_to_string(readBuffer.data()));
        readBuffer.consume(readBuffer.size());
        startReading();
    }

    // The session answers the ping only once it has dealt with everything sent before it.
    void waitForSession()
    {
        checkHeldBytes();
        if (connectionGone)
        {
            asio::post(io, [this] { nextStep(); });
            return;
        }
        waiting = pingWriting = pongAwaited = true;
        client.async_ping(websocket::ping_data(std::to_string(++pings)),
                          [this](error_code const &ec)
                          {
                              pingWriting = false;
                              if (ec)
                                  pongAwaited = false;
                              continueWhenSessionCaughtUp();
                          });
    }

    // The next step waits for the pong, or the end of the connection, and for the ping's own
    // write to be done, so the client never has two writes in flight.
    void continueWhenSessionCaughtUp()
    {
        if (!waiting || pingWriting || pongAwaited)
            return;
        waiting = false;
        asio::post(io, [this] { nextStep(); });
    }

    void nextStep()
    {
        if (next == steps.size())
        {
            finish();
            return;
        }
        auto const &step = steps[next++];
        switch (step.kind)
        {
        case Step::Kind::binary:
        case Step::Kind::text:
            sendMessage(step);
            return;
        case Step::Kind::run:
            queueRun(step.bytes);
            break;
        case Step::Kind::answer:
            if (heldAnswer)
                answer(std::exchange(heldAnswer, {}), step.accept);
            break;
        }
        waitForSession();
    }

    void sendMessage(Step const &step)
    {
        if (connectionGone)
        {
            waitForSession();
            return;
        }
        client.text(step.kind == Step::Kind::text);
        client.async_write_some(!step.fragment, asio::buffer(step.bytes),
                                [this](error_code const &ec, std::size_t)
                                {
                                    if (ec)
                                        connectionGone = true;
                                    waitForSession();
                                });
    }

    void checkHeldBytes() const
    {
        auto const held = tracker.receiveBudget().held();
        if (settings.budgeted && held > smallBudget)
            fail("the partly received bytes passed the receive budget");
        if (!admitted && held > ProbeSession::unadmittedMessageLimit)
            fail("a device not admitted holds more than a register message's room");
    }

    void queueRun(std::string const &data)
    {
        boost::uuids::uuid requestId{};
        requestId.data[15] = static_cast<std::uint8_t>(++runs);
        auto message = encodeRunMessage(requestId, data);
        expected.push_back(message);
        // Dispatch gives no runs to a stopped session; one given anyway must not be told of.
        runsTaken = runsTaken || !session->isStopped();
        session->enqueueRun(message);
    }

    void onSessionEnd(void const *ended)
    {
        if (ended != session.get())
            fail("the end of another session was told");
        if (!runsTaken)
            fail("the end of a session that took no runs was told");
        if (++sessionEnds > 1)
            fail("the end of one session was told twice");
    }

    void onValidate(unsigned long const &unitId, std::function<void(bool)> answerFn)
    {
        if (++validations > 1)
            fail("a second validation was asked by one session");
        registeredUnit = unitId;
        switch (settings.timing)
        {
        case AnswerTiming::withinCall:
            answer(std::move(answerFn), settings.verdict);
            break;
        case AnswerTiming::posted:
            asio::post(io, [this, answerFn = std::move(answerFn)]
                       { answer(answerFn, settings.verdict); });
            break;
        case AnswerTiming::held:
            heldAnswer = std::move(answerFn);
            break;
        case AnswerTiming::dropped:
            break;
        }
    }

    // Only a session that is still running tells the device and may be admitted.
    void answer(std::function<void(bool)> const &answerFn, bool accepted)
    {
        if (session && !session->isStopped())
        {
            expected.push_back(encodeValidationAnswer(accepted));
            admitted = admitted || accepted;
        }
        answerFn(accepted);
        if (session && admitted && !session->isStopped() &&
            tracker.getProbe(registeredUnit) != session)
            fail("an admitted session is not in the tracker");
    }

    void onResult()
    {
        if (!admitted)
            fail("a result was forwarded from a device that was not admitted");
        ++results;
        if (settings.resultThrows)
            throw std::runtime_error("result refused");
    }

    void onReport(unsigned long const &unitId)
    {
        if (!admitted || unitId != registeredUnit)
            fail("a disconnection was reported for a device that was not admitted");
        if (++reports > 1)
            fail("one connection reported its disconnection twice");
    }

    void finish()
    {
        closing = true;
        if (readerDone || !client.is_open())
        {
            end();
            return;
        }
        client.async_close(websocket::close_code::normal,
                           [this](error_code const &ec)
                           {
                               // A close that could not be written leaves the read to be ended.
                               if (ec)
                               {
                                   error_code ignored;
                                   client.next_layer().close(ignored);
                               }
                           });
    }

    // The reader has ended: nothing more can arrive from the session.
    void end()
    {
        if (ended)
            return;
        ended = true;
        heldAnswer = {};
        session->stop();
        if (admitted && tracker.hasProbe(registeredUnit))
            fail("a stopped session is still in the tracker");
        sessionLeft = session;
        session.reset();
        error_code ignored;
        acceptor.close(ignored);
        // Reset rather than close: a client socket in TIME_WAIT would hold its port for a minute.
        client.next_layer().set_option(asio::socket_base::linger(true, 0), ignored);
        client.next_layer().close(ignored);
        guard.cancel();
    }

    void checkAfterDrain()
    {
        if (!ended)
            fail("the loop ran out of work before the sequence was done");
        if (!sessionLeft.expired())
            fail("the session outlived its connection and the drained loop");
        if (runsTaken && sessionEnds == 0)
            fail("the end of a session that took runs was not told");
        if (tracker.receiveBudget().held() != 0)
            fail("an ended session still holds bytes of the receive budget");
        if (received.size() > expected.size() ||
            !std::equal(received.begin(), received.end(), expected.begin()))
            fail("the device received something other than what was queued for it, in order");
    }

    Settings settings;
    std::vector<Step> steps;
    asio::io_context io;
    tcp::acceptor acceptor;
    asio::steady_timer guard;
    ProbeTracker tracker;
    ProbeSession::ValidateFn validateFn;
    ProbeSession::TestResultFn testResultFn;
    ProbeSession::ReportDisconnectFn reportDisconnectFn;
    std::shared_ptr<ProbeSession> session;
    std::weak_ptr<ProbeSession> sessionLeft;
    websocket::stream<tcp::socket> client;
    beast::flat_buffer readBuffer;

    std::size_t next = 0;
    unsigned pings = 0;
    unsigned runs = 0;
    bool waiting = false;
    bool pingWriting = false;
    bool pongAwaited = false;
    bool connectionGone = false;
    bool readerDone = false;
    bool closing = false;
    bool ended = false;

    std::function<void(bool)> heldAnswer;
    unsigned long registeredUnit = 0;
    bool admitted = false;
    int validations = 0;
    int results = 0;
    int reports = 0;
    int sessionEnds = 0;
    bool runsTaken = false;
    std::vector<std::string> received;
    std::vector<std::string> expected;
};

} // namespace

// Every input logs a few lines; they only slow the fuzzer down unless TT_FUZZ_LOG asks for them.
class DiscardingBuffer : public std::streambuf
{
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
};

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static DiscardingBuffer discarded;
    if (std::getenv("TT_FUZZ_LOG") == nullptr)
        std::clog.rdbuf(&discarded);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const *data, std::size_t size)
{
    InputReader input(data, size);
    auto const settings = readSettings(input);
    SessionRun(settings, readSteps(input)).run();
    return 0;
}
