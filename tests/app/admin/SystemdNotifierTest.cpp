#include "app/admin/SystemdNotifier.hpp"

#include "support/ClogCapture.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/datagram_protocol.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

using Datagram = boost::asio::local::datagram_protocol;

TEST(SystemdNotifierTest, TheNotifySocketIsAPathOrAnAbstractName)
{
    EXPECT_EQ(SystemdNotifier::notifyEndpoint("/run/systemd/notify")->path(),
              "/run/systemd/notify");
    EXPECT_EQ(SystemdNotifier::notifyEndpoint("@/org/freedesktop/systemd1/notify")->path(),
              std::string("\0/org/freedesktop/systemd1/notify", 33));
    for (auto const *unusable : {"", "@", "/", "vsock:2:1234", "relative/notify"})
        EXPECT_FALSE(SystemdNotifier::notifyEndpoint(unusable)) << unusable;
    EXPECT_FALSE(SystemdNotifier::notifyEndpoint("/" + std::string(200, 'n')));
}

// A service manager that does not read its socket: the notifier neither waits nor gives up
// being ready.
class UnreadManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto const name = "tt-notify-test-" + std::to_string(::getpid());
        manager.bind(Datagram::endpoint(std::string(1, '\0') + name));
        ::setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
        ::unsetenv("WATCHDOG_USEC");
    }
    void TearDown() override { ::unsetenv("NOTIFY_SOCKET"); }

    // Sends to the manager until its queue is full; returns how many it took.
    std::size_t fillQueue()
    {
        Datagram::socket other(io, Datagram());
        other.non_blocking(true);
        std::size_t taken = 0;
        boost::system::error_code ec;
        while (!ec)
            if (other.send_to(boost::asio::buffer(std::string("filler")), manager.local_endpoint(),
                              0, ec) > 0)
                ++taken;
        return taken;
    }

    // The datagrams queued now, without waiting.
    std::vector<std::string> received()
    {
        std::vector<std::string> messages;
        manager.non_blocking(true);
        char data[512];
        boost::system::error_code ec;
        for (std::size_t n; (n = manager.receive(boost::asio::buffer(data), 0, ec)), !ec;)
            messages.emplace_back(data, n);
        return messages;
    }

    // Runs the loop until `count` datagrams have come, or a generous deadline passes.
    std::vector<std::string> receivedAfterRunning(std::size_t count)
    {
        std::vector<std::string> messages;
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (messages.size() < count && std::chrono::steady_clock::now() < deadline)
        {
            io.run_for(std::chrono::milliseconds(10));
            for (auto &message : received())
                messages.push_back(std::move(message));
        }
        return messages;
    }

    boost::asio::io_context io;
    Datagram::socket manager{io, Datagram()};
    testSupport::ClogCapture clog;
};

TEST_F(UnreadManagerTest, DroppedNotificationsDoNotStopTheLoopAndReadyIsSentOnceThereIsRoom)
{
    auto const room = fillQueue();
    ASSERT_GT(room, 0u);
    std::string status = "devices online: 0";
    auto notifier = std::make_shared<SystemdNotifier>(
        io, [&] { return status; }, std::chrono::milliseconds(20));
    notifier->start();
    // Several status periods pass; every try at READY=1 is dropped without waiting.
    io.run_for(std::chrono::milliseconds(100));
    EXPECT_EQ(received(), std::vector<std::string>(room, "filler"));

    status = "devices online: 1";
    EXPECT_EQ(receivedAfterRunning(1),
              std::vector<std::string>{"READY=1\nSTATUS=devices online: 1"});
    status = "devices online: 2";
    EXPECT_EQ(receivedAfterRunning(1), std::vector<std::string>{"STATUS=devices online: 2"});
    notifier->stop();
    io.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(received(), std::vector<std::string>{});
    // Told once for the whole run of drops.
    EXPECT_EQ(clog.lines(),
              std::vector<std::string>{
                  "Service manager: notification dropped: Resource temporarily unavailable"});
}

TEST_F(UnreadManagerTest, AStatusThatWasDroppedIsSentAtTheNextPeriod)
{
    std::string status = "one";
    auto notifier = std::make_shared<SystemdNotifier>(
        io, [&] { return status; }, std::chrono::milliseconds(20));
    notifier->start();
    EXPECT_EQ(received(), std::vector<std::string>{"READY=1\nSTATUS=one"});
    auto const room = fillQueue();
    status = "two";
    io.run_for(std::chrono::milliseconds(100));
    EXPECT_EQ(received(), std::vector<std::string>(room, "filler"));
    EXPECT_EQ(receivedAfterRunning(1), std::vector<std::string>{"STATUS=two"});
    notifier->stop();
}

} // namespace
} // namespace kelvarin::triggerTesting
