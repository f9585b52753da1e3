#pragma once

#include "device/DeviceConnectionView.hpp"
#include "device/DeviceStreamPool.hpp"
#include "device/HeapTrimmer.hpp"
#include "device/ProbeSession.hpp"
#include "device/ReceiveBudget.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/intrusive/list.hpp>
#include <boost/intrusive/set.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kelvarin::triggerTesting
{

class ProbeSession;

// The validated device sessions by unit id. Holds them weakly: a session lives only as long as
// its connection does.
class ProbeTracker
{
public:
    // Told when a session that was given test runs ends; the session is passed as an identity
    // only, never to be used.
    using SessionEndFn = std::function<void(void const *)>;

    ProbeTracker() = default;
    explicit ProbeTracker(HeapTrimmer trimmer) : trimmer(std::move(trimmer)) {}

    // Registers the session under its unit id, replacing an earlier session of the same unit.
    void addProbe(std::shared_ptr<ProbeSession> session);
    // The session registered for the unit, empty when there is none or it is gone.
    std::shared_ptr<ProbeSession> getProbe(unsigned long unitId) const;
    // Removes the unit's entry only if it is this session's: a newer connection keeps its own.
    void removeProbe(unsigned long unitId, std::shared_ptr<ProbeSession> const &session);
    bool hasProbe(unsigned long unitId) const;
    // Units with an entry: the devices online.
    std::size_t size() const { return probes.size(); }

    // Device connections from their start until they stop, validated or not. The sessions
    // count themselves here because the tracker is the one thing every one of them shares.
    void connectionOpened() { ++connections; }
    void connectionClosed() { --connections; }
    std::size_t openConnections() const { return connections; }
    // Every open session, for a reload's hand-over and to have its deadlines watched every
    // `tick` (the shortest tick of any session counts); a session leaves the list when it stops
    // or goes.
    void enlist(ProbeSession &session, ProbeSession::Executor const &executor,
                std::chrono::steady_clock::duration tick);
    // The session leaves the list; the timer stops with the last of them, so that a loop with
    // nothing else to do can end.
    void delist(ProbeSession &session);
    template <class Visit> void forEachConnection(Visit visit)
    {
        for (auto it = sessions.begin(); it != sessions.end();)
            visit(*it++);
    }

    // Registered connections by unit id, for operators to look up: a session enters once it has
    // its unit id and leaves when it stops, as it leaves the list of connections.
    void indexUnit(ProbeSession &session);
    // Every open connection registered with the unit id, newest first.
    std::vector<DeviceConnectionView> connectionsOf(unsigned long unitId) const;
    // Registered connections in the order of their unit ids, newest first within a unit: whole
    // units, up to the query's limit of connections; a unit with more connections than that
    // fills a page of its own.
    DevicePage page(DevicePageQuery const &query) const;

    // Validator answers told to devices still connected, since the start.
    void countAnswer(bool accepted) { ++(accepted ? accepted_ : refused_); }
    std::uint64_t acceptedAnswers() const { return accepted_; }
    std::uint64_t refusedAnswers() const { return refused_; }

    // Shared by every session for the same reason as the counts above.
    DeviceStreamPool &streams() { return streamPool; }
    ReceiveBudget &receiveBudget() { return budget; }
    ReceiveBudget const &receiveBudget() const { return budget; }

    void setSessionEndFn(SessionEndFn fn) { sessionEndFn = std::move(fn); }
    void sessionEnded(void const *session) const
    {
        if (sessionEndFn)
            sessionEndFn(session);
    }

private:
    using Timer =
        boost::asio::basic_waitable_timer<std::chrono::steady_clock,
                                          boost::asio::wait_traits<std::chrono::steady_clock>,
                                          ProbeSession::Executor>;

    // One timer for the deadlines of every session, rather than one per session: a timer and
    // its pending wait would cost every idle device as much again as the rest of its session.
    void armSweep();
    void sweep();
    void noteCount();

    struct UnitOf
    {
        using type = unsigned long;
        type operator()(ProbeSession const &session) const { return session.getUnitId(); }
    };
    using UnitIndex = boost::intrusive::multiset<
        ProbeSession,
        boost::intrusive::member_hook<ProbeSession, ProbeSession::UnitHook,
                                      &ProbeSession::unitHook>,
        boost::intrusive::key_of_value<UnitOf>, boost::intrusive::constant_time_size<false>>;
    // The unit's connections from `first` on, newest first, into `group` (a page reuses it).
    void unitGroup(UnitIndex::const_iterator &first,
                   std::optional<DeviceConnectionView::State> state,
                   std::vector<ProbeSession const *> &group) const;

    // Looked up for every test request: hashed, not ordered.
    std::unordered_map<unsigned long, std::weak_ptr<ProbeSession>> probes;
    std::size_t connections = 0;
    boost::intrusive::list<ProbeSession, boost::intrusive::constant_time_size<false>> sessions;
    // In the order of registration within a unit.
    UnitIndex units;
    std::uint64_t accepted_ = 0;
    std::uint64_t refused_ = 0;
    HeapTrimmer trimmer;
    DeviceStreamPool streamPool;
    ReceiveBudget budget;
    std::optional<Timer> sweepTimer;
    std::chrono::steady_clock::duration sweepTick = std::chrono::steady_clock::duration::max();
    bool sweepArmed = false;
    SessionEndFn sessionEndFn;
};

} // namespace kelvarin::triggerTesting
