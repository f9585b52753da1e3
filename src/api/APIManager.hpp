#pragma once

#include "api/APISessionContainer.hpp"
#include "api/ITestRequest.hpp"
#include "api/PeriodicResolver.hpp"
#include "api/Reply.hpp"
#include "api/TestMetadata.hpp"
#include "app/APIOptions.hpp"
#include "status/APIStatusSession.hpp"
#include "status/EtherAddr.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/container_hash/hash.hpp>
#include <boost/uuid/uuid.hpp>

#include <functional>
#include <unordered_map>
#include <vector>

namespace kelvarin::triggerTesting
{

// The API side as one unit: the validator connection, a request session to every API server,
// and the test requests still running, whose results go to every API server.
class APIManager
{
public:
    // Returns the device session that took the request, as an identity only; null when none
    // did (the request was answered at once).
    using RequestFn = std::function<void const *(ITestRequest &)>;
    using IsOnlineFn = std::function<bool(unsigned long)>;
    // Told of every result message built, duplicates' answers included.
    using ReplyObserver = std::function<void(Reply const &)>;

    // What the requests whose last reply has not come yet may hold; beyond it new ones are
    // refused.
    static constexpr std::size_t maxRunningBytes = std::size_t{256} << 20;

    APIManager(boost::asio::io_context &io, APIOptions const &options, RequestFn requestFn,
               IsOnlineFn isOnlineFn, APISessionTimings sessionTimings = {},
               StatusTimings statusTimings = {}, std::size_t runningLimit = maxRunningBytes);
    // The sessions' handlers refer to this manager.
    APIManager(APIManager const &) = delete;
    APIManager &operator=(APIManager const &) = delete;

    // Sends the reply's result message if its request is running; a last reply ends it.
    void sendResult(Reply reply);
    // Sends the reply's result message to every API server.
    void sendResult(Reply reply, TestMetadata const &metadata);
    void validate(unsigned long const &unitId, EtherAddr const &mac,
                  std::function<void(bool)> callback);
    // The device session has ended: the requests that went to it will never be answered by it,
    // and are answered with an error now.
    void endDeviceSession(void const *session);

    void setReplyObserver(ReplyObserver observer) { replyObserver = std::move(observer); }

    APIStatusSession &getStatusSession() { return statusSession; }
    APIStatusSession const &getStatusSession() const { return statusSession; }
    APISessionContainer &getContainer() { return container; }
    APISessionContainer const &getContainer() const { return container; }
    std::size_t runningTests() const { return requests.size(); }
    // The running requests a device session took, by the identity requestFn returned.
    std::size_t runningTestsOf(void const *session) const;
    bool isRunning(boost::uuids::uuid const &requestId) const
    {
        return requests.contains(requestId);
    }
    // Device results dropped because their request was running for another unit.
    std::uint64_t foreignResultsDropped() const { return foreignResults; }

    // A reload: the request sessions and the validator connection hold, the manager tells when
    // all of them can be handed over, and hands over what they hold and the running requests.
    // Their tasks are moved out, not copied: after a failed exec, takeBack() puts each back,
    // before the sessions resume.
    void hold();
    void resume();
    bool readyForHandOver() const;
    // About how many bytes a hand-over would carry now: the running requests' tasks and the
    // unsent messages, at what each is charged against its bound.
    std::uint64_t carriedBytes() const
    {
        return runningBytes + container.factory.getBudget().spent();
    }
    using RunningRequest = RunningRequestHandOver;
    APISideHandOver handOver();
    void takeBack(TestMetadata &handedBack);
    // What a previous program handed over, at once after the construction, the device sessions
    // named as the caller adopted them. The validator connection's share goes to
    // getStatusSession().adopt(), once its askers are known again.
    void adopt(std::vector<APISessionHandOver> const &sessions,
               std::vector<RunningRequest> running);

private:
    void handleRequest(ITestRequest &request, RequestFn const &requestFn);
    void countRun(void const *session, bool taken);
    static std::size_t entryCost(TestMetadata const &metadata);

    [[maybe_unused]] boost::asio::io_context &io; // shared with everything the manager builds
    APIStatusSession statusSession;
    APISessionContainer container;
    PeriodicResolver resolver;
    // Entered and left by every test: hashed, not ordered.
    std::unordered_map<boost::uuids::uuid, RunningRequest, boost::hash<boost::uuids::uuid>>
        requests;
    // How many of them each device session took, so that one session's are counted without a
    // walk through all of them.
    std::unordered_map<void const *, std::size_t> runningPerSession;
    std::size_t runningLimit;
    std::size_t runningBytes = 0;
    std::uint64_t foreignResults = 0;
    ReplyObserver replyObserver;
};

} // namespace kelvarin::triggerTesting
