#include "device/ProbeSession.hpp"
#include "device/ProbeTracker.hpp"

#include <algorithm>
#include <iostream>
#include <iterator>

// The device session's half of a reload: held at a message boundary, its record for the next
// program, and the session that program makes of it.

namespace kelvarin::triggerTesting
{

// A hold waits for the session's own read to end, with what it read, once nothing is written:
// bytes a read took from the socket must never be left in a completion that has not run.
void ProbeSession::stopWaitingForBytesIfHeld()
{
    if (!holding || !waitingBytes || writing || sendingControl || stopped)
        return;
    boost::system::error_code ignored;
    connection.cancel(ignored);
}

void ProbeSession::hold()
{
    holding = true;
    stopWaitingForBytesIfHeld();
}

void ProbeSession::resume()
{
    holding = false;
    if (stopped)
        return;
    if (readParked)
    {
        readParked = false;
        readNext();
    }
    startWriterIfDue();
}

bool ProbeSession::atHandOverPoint() const
{
    if (stopped || !open)
        return true; // nothing to hand over
    return !waitingBytes && !reading && !writing && !sendingControl && !frames.writing &&
           frames.deliveredWholeMessages() && frames.messagesDelivered() == messagesHandled;
}

std::optional<DeviceHandOver> ProbeSession::handOverRecord()
{
    if (stopped || !open)
        return std::nullopt;
    DeviceHandOver record;
    record.descriptor = const_cast<Socket &>(connection).native_handle();
    record.ipv6 = ipv6;
    record.unitId = unitId;
    record.state = static_cast<std::uint32_t>(state);
    record.ownsUnit = state == State::validated && tracker.getProbe(unitId).get() == this;
    auto const now = std::chrono::steady_clock::now();
    if (state == State::awaitingId && Timeouts::watched(timeouts.registration))
        record.registrationLeft =
            std::max(std::chrono::milliseconds::zero(),
                     std::chrono::ceil<std::chrono::milliseconds>(registrationDeadline - now));
    record.silence = std::chrono::floor<std::chrono::milliseconds>(now - lastHeard);
    record.pending = frames.pending;
    // Lent to the record, not copied; the count of queued bytes stays, for takeBack().
    record.unsent.assign(std::make_move_iterator(writeQueue.begin()),
                         std::make_move_iterator(writeQueue.end()));
    writeQueue.clear();
    record.mac = mac;
    record.refused = refused;
    record.connectedAt = connectedAt;
    if (state != State::awaitingId)
        record.registeredAt = registeredAt;
    if (state == State::validated)
        record.admittedAt = admittedAt;
    return record;
}

void ProbeSession::takeBack(DeviceHandOver &record)
{
    writeQueue.assign(std::make_move_iterator(record.unsent.begin()),
                      std::make_move_iterator(record.unsent.end()));
    record.unsent.clear();
}

void ProbeSession::failHandOver()
{
    end(beforeIdPrefix, "reload", clean);
}

std::error_code ProbeSession::adopt(DeviceHandOver const &record)
{
    // A state no program writes would leave a session that waits for nothing.
    static_assert(DeviceHandOver::lastState == static_cast<std::uint32_t>(State::validated));
    if (record.state > DeviceHandOver::lastState)
        return std::make_error_code(std::errc::invalid_argument);
    auto const protocol = record.ipv6 ? boost::asio::ip::tcp::v6() : boost::asio::ip::tcp::v4();
    boost::system::error_code ec;
    connection.assign(protocol, record.descriptor, ec);
    if (ec)
        return ec;
    ipv6 = record.ipv6;
    // The accept that told the peer was the other program's.
    if (auto const endpoint = connection.remote_endpoint(ec); !ec)
        peer = endpoint;
    // The handshake was made in another life: frames come first.
    frames.cursor.skipHandshake();
    frames.preload(record.pending);
    messagesHandled = frames.messagesDelivered();
    unitId = record.unitId;
    state = static_cast<State>(record.state);
    // A record without its times (from an older program) counts from now.
    auto const now = std::chrono::system_clock::now();
    mac = record.mac;
    refused = record.refused && state == State::validating;
    connectedAt = record.connectedAt.value_or(now);
    registeredAt = record.registeredAt.value_or(now);
    admittedAt = record.admittedAt.value_or(now);
    if (state != State::awaitingId)
        tracker.indexUnit(*this);
    tracker.connectionOpened();
    started = true;
    tracker.enlist(*this, connection.get_executor(), timeouts.sweepTick());
    beginAdmission(record.registrationLeft);
    heard(lastHeard - std::min<std::chrono::steady_clock::duration>(record.silence, timeouts.idle));
    if (state == State::validated)
    {
        // Of two admitted connections of one unit, the one that had its tests keeps them.
        if (record.ownsUnit)
            tracker.addProbe(shared_from_this());
        // Runs may have been given to it by the previous program.
        runsQueued = true;
    }
    for (auto const &message : record.unsent)
    {
        queuedBytes += message.size();
        writeQueue.push_back(message);
    }
    if (frames.pending.empty())
        waitUntilReadable();
    else
        readNext();
    startWriterIfDue();
    return {};
}

} // namespace kelvarin::triggerTesting
