#pragma once

#include "api/Reply.hpp"
#include "common/FrameBoundaryStream.hpp"
#include "device/DeviceConnectionView.hpp"
#include "device/DeviceHandOver.hpp"
#include "device/DeviceStreamPool.hpp"
#include "status/DisconnectionReason.hpp"
#include "status/EtherAddr.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/intrusive/list_hook.hpp>
#include <boost/intrusive/set_hook.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace kelvarin::triggerTesting
{

class ProbeTracker;

// One device connection: the WebSocket handshake, validation of the device through the API,
// registration in the tracker, forwarding of results and writing of queued messages.
//
// Most devices are idle most of the time, and the session keeps what an idle connection needs
// small:
// - between messages the session waits for the device's next bytes with a read of its own into a
//   small buffer of its own; only once bytes arrive does it borrow a WebSocket stream from the
//   tracker's pool, which reads the message and goes back after it (a write borrows one too);
// - pings and pongs that come between messages are dealt with without a stream: a ping is
//   answered through a borrowed stream, a pong only tells that the device is there;
// - the tracker's one timer looks at every session's deadlines (the register message's, and
//   silence: pinged after half of the idle time, ended after all of it).
//
// A reload hands the connection to the controller's next program: the session holds (it
// finishes the message it is reading or writing, then starts no other), and once it waits at a
// message boundary its descriptor and what it holds are handed over. The next program's session
// adopts them and goes on as if nothing had happened.
class ProbeSession
    : public std::enable_shared_from_this<ProbeSession>,
      // Every open session is on the tracker's list of connections, for the hand-over.
      public boost::intrusive::list_base_hook<
          boost::intrusive::link_mode<boost::intrusive::auto_unlink>>
{
public:
    using ValidateFn =
        std::function<void(unsigned long const &, EtherAddr const &, std::function<void(bool)>)>;
    using TestResultFn = std::function<void(Reply)>;
    using ReportDisconnectFn = std::function<void(unsigned long const &, disconnection_reason,
                                                  std::chrono::system_clock::time_point)>;

    // How long a device may take for its handshake, and stay silent once connected (pings are
    // sent after half of the idle time), and how long after its handshake its register message
    // must have come: answering pings alone keeps no connection.
    struct Timeouts
    {
        std::chrono::steady_clock::duration handshake = std::chrono::seconds(30);
        std::chrono::steady_clock::duration idle = std::chrono::seconds(30);
        std::chrono::steady_clock::duration registration = std::chrono::seconds(30);

        // Whether a limit is kept at all: zero and the largest duration mean none.
        static bool watched(std::chrono::steady_clock::duration limit);
        // How often the deadlines are looked at.
        std::chrono::steady_clock::duration sweepTick() const;
    };

    // The largest message a device may send before the validator admitted it: anyone can
    // connect, and what they send before that is at most a register message.
    static constexpr std::size_t unadmittedMessageLimit = 4096;
    // The largest message of an admitted device.
    static constexpr std::size_t messageLimit = std::size_t{16} << 20;

    // Bytes of messages a device may leave unread before its connection is given up.
    static constexpr std::size_t writeQueueLimit = std::size_t{32} << 20;

    enum class State : std::int32_t
    {
        awaitingId = 0,
        validating = 1,
        validated = 2,
    };

    // Sessions run on an io_context, named as such: a type-erased executor would be copied into
    // every pending operation of every idle device, and costs memory and time there.
    using Executor = boost::asio::io_context::executor_type;
    using Socket = DeviceStreamPool::Socket;

    ProbeSession(Executor const &executor, ValidateFn &validateFn,
                 TestResultFn &testResultCallbackFn, ReportDisconnectFn const &reportDisconnectFn,
                 ProbeTracker &tracker, Timeouts timeouts);
    ProbeSession(ProbeSession const &) = delete;
    ProbeSession &operator=(ProbeSession const &) = delete;

    Socket &socket() { return connection; }
    // Where the accept puts the peer's address, as it takes the connection.
    boost::asio::ip::tcp::endpoint &peerEndpoint() { return peer; }
    // Once the socket is connected; ipv6 tells which of the families it has, for the hand-over.
    void start(bool ipv6 = false);
    // Takes the message's content; it is written after every message queued before it. When it
    // would take the queue above writeQueueLimit, the session ends instead and this throws.
    void enqueueMessage(std::string &message);
    // As enqueueMessage, for a test run: the session's end then answers the runs left open.
    void enqueueRun(std::string &run);
    void stop();
    unsigned long getUnitId() const { return unitId; }
    bool isStopped() const { return stopped; }
    // Ends the connection when a deadline has passed, and pings a device silent for half of
    // its idle time; the tracker calls it for every session now and then.
    void checkDeadlines(std::chrono::steady_clock::time_point now);

    // For a reload: holding, the session finishes what it reads or writes and starts nothing
    // new; resume undoes that when the reload failed.
    void hold();
    void resume();
    // Nothing is partly read or written: what the session holds can be handed over exactly.
    bool atHandOverPoint() const;
    // What the next program needs to go on; nothing when the connection is not worth handing
    // over (its handshake is not done), and it is to be closed. The messages queued for the
    // device move into the record; takeBack() returns them when the program was not replaced.
    std::optional<DeviceHandOver> handOverRecord();
    void takeBack(DeviceHandOver &record);
    // Ends a connection that could not reach a message boundary in time, as a failed one.
    void failHandOver();
    // Goes on with a connection handed over by the previous program.
    std::error_code adopt(DeviceHandOver const &record);
    // The callback that tells this session the validator's answer, and is forgotten with it.
    std::function<void(bool)> validationAsker();
    // What operators see of a registered connection.
    DeviceConnectionView view() const;
    DeviceConnectionView::State viewState() const;

private:
    // The tracker's index of registered connections by unit id.
    friend class ProbeTracker;
    using UnitHook = boost::intrusive::set_member_hook<
        boost::intrusive::link_mode<boost::intrusive::auto_unlink>,
        boost::intrusive::optimize_size<true>>;

    using WebSocket = DeviceStreamPool::WebSocket;

    void onAccept(boost::system::error_code const &ec);
    void beginAdmission(std::optional<std::chrono::milliseconds> registrationLeft = {});
    void readNext();
    bool answerControlFrames();
    void waitForBytes();
    void waitUntilReadable();
    void onBytes(boost::system::error_code const &ec, std::size_t received);
    void readMessage();
    void readSome(std::size_t room);
    void onReadSome(boost::system::error_code const &ec, std::size_t bytesRead);
    bool chargeReceived();
    void releaseReceiveCharge();
    void onRead(boost::system::error_code const &ec);
    void onReadFailure(boost::system::error_code const &ec);
    void reportDisconnection(disconnection_reason reason);
    void handleMessage();
    void handleRegisterMessage(std::string_view message);
    void handleResultMessage(std::string_view message);
    void releaseReadBuffer();
    void onValidationAnswer(bool accepted);
    void failConnection(char const *reason);
    static constexpr char const *beforeIdPrefix = "device disconnected before receiving ID: ";
    void end(char const *unregisteredPrefix, std::string_view why, disconnection_reason reason);
    void startWriterIfDue();
    void startWriting();
    void onWrite(boost::system::error_code const &ec, std::size_t bytesWritten);
    void sendControl(bool isPing, std::string const &payload);
    void onControlSent(boost::system::error_code const &ec);
    void heard(std::chrono::steady_clock::time_point when);
    WebSocket &borrowStream();
    void giveBackStreamIfIdle();
    void stopWaitingForBytesIfHeld();

    // Most devices sit idle between tests waiting for their next message, with this much room.
    static constexpr std::size_t firstReadRoom = 128;

    Socket connection;
    FrameBoundary frames;
    // Lent by the tracker's pool while the session reads, writes or pings.
    std::optional<WebSocket> ws;
    ValidateFn &validateFn;
    TestResultFn &testResultCallbackFn;
    // The manager's, like the other two functions: a copy would cost every idle device the
    // size of a std::function.
    ReportDisconnectFn const &reportDisconnectFn;
    ProbeTracker &tracker;
    boost::beast::flat_buffer readBuffer;
    // A list, not a deque: an empty deque still holds a node of its own, and most sessions
    // have nothing to write most of the time.
    std::list<std::string> writeQueue;
    std::size_t queuedBytes = 0;
    unsigned long unitId = 0;
    Timeouts timeouts;
    std::chrono::steady_clock::time_point lastHeard;
    std::chrono::steady_clock::time_point registrationDeadline;
    // Beside the flags, so that they share a word.
    State state = State::awaitingId;
    // Bytes of the message being read that the receive budget holds for it.
    std::uint32_t receiveCharge = 0;
    // Whole messages taken from the stream, to compare with those it was given.
    std::uint32_t messagesHandled = 0;
    bool stopped = false;
    bool started = false; // counted among the tracker's open connections
    bool open = false;    // the handshake is done
    bool ipv6 = false;
    bool runsQueued = false; // its end must be told, so that its open runs are answered
    bool holding = false;
    bool readParked = false;   // a read not started because of the hold
    bool waitingBytes = false; // the session's own read for the next message is under way
    bool reading = false;      // a message is being read through the stream
    bool writing = false;
    bool sendingControl = false; // a ping or a ping's answer is being written
    bool pinged = false;         // since the device was last heard
    bool refused = false;        // by the validator; it stays connected
    std::array<char, firstReadRoom> firstBytes;
    // For the operators' lookups: the peer, the MAC it registered with, and when it connected,
    // registered and was admitted (the epoch: not yet).
    EtherAddr mac;
    // Where it connected from, kept: a listing shows thousands. Port 0: the socket did not tell.
    boost::asio::ip::tcp::endpoint peer;
    std::chrono::system_clock::time_point connectedAt;
    std::chrono::system_clock::time_point registeredAt;
    std::chrono::system_clock::time_point admittedAt;
    UnitHook unitHook;
};

} // namespace kelvarin::triggerTesting
