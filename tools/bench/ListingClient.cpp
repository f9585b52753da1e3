#include "bench/ListingClient.hpp"

#include <rapidjson/document.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvarin::triggerTesting::bench
{

namespace
{

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds answerTime{10};
constexpr std::uint64_t lookupEvery = 20;
constexpr std::size_t faultTextsKept = 5;

struct Answer
{
    int status = 0;
    std::string body;
    bool keepAlive = true;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// One HTTP/1.1 connection to the endpoint on 127.0.0.1, kept alive between requests. The
// endpoint's answers carry Content-Length, which is all this reads.
class HttpConnection
{
public:
    explicit HttpConnection(unsigned short port) : port(port) {}
    ~HttpConnection() { close(); }
    HttpConnection(HttpConnection const &) = delete;
    HttpConnection &operator=(HttpConnection const &) = delete;

    bool isOpen() const { return socket >= 0; }

    // Empty when it connected, else why not.
    std::string open()
    {
        close();
        socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (socket < 0)
            return std::string("socket: ") + std::strerror(errno);
        int const one = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(socket, reinterpret_cast<sockaddr const *>(&address), sizeof address) != 0)
        {
            auto const why = std::string("connect: ") + std::strerror(errno);
            close();
            return why;
        }
        return "";
    }

    void close()
    {
        if (socket >= 0)
            ::close(socket);
        socket = -1;
        received.clear();
    }

    // Sends GET target and reads the whole answer; empty when one came, else why not. The
    // connection is closed after an answer that does not keep it alive, and after a failure.
    std::string ask(std::string const &target, Answer &answer)
    {
        auto const request =
            "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/json\r\n\r\n";
        if (::send(socket, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size()))
            return fail(std::string("send: ") + std::strerror(errno));
        auto const deadline = Clock::now() + answerTime;
        std::size_t headEnd;
        while ((headEnd = received.find("\r\n\r\n")) == std::string::npos)
            if (auto why = readMore(deadline); !why.empty())
                return fail(why);
        std::string_view const head(received.data(), headEnd);
        if (!head.starts_with("HTTP/1.1 ") || head.size() < 12)
            return fail("not an HTTP/1.1 answer: " + std::string(head.substr(0, 40)));
        answer.status = std::atoi(std::string(head.substr(9, 3)).c_str());
        answer.keepAlive = true;
        std::optional<std::size_t> length;
        for (auto lineStart = head.find("\r\n"); lineStart != std::string_view::npos;)
        {
            lineStart += 2;
            auto const lineEnd = head.find("\r\n", lineStart);
            auto const line =
                head.substr(lineStart, lineEnd == std::string_view::npos ? std::string_view::npos
                                                                         : lineEnd - lineStart);
            lineStart = lineEnd;
            auto const colon = line.find(':');
            if (colon == std::string_view::npos)
                continue;
            auto const name = line.substr(0, colon);
            auto value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ')
                value.remove_prefix(1);
            if (equalsIgnoringCase(name, "content-length"))
                length = std::stoull(std::string(value));
            else if (equalsIgnoringCase(name, "connection") && equalsIgnoringCase(value, "close"))
                answer.keepAlive = false;
        }
        if (!length)
            return fail("an answer without Content-Length");
        auto const bodyStart = headEnd + 4;
        while (received.size() < bodyStart + *length)
            if (auto why = readMore(deadline); !why.empty())
                return fail(why);
        answer.body.assign(received, bodyStart, *length);
        received.erase(0, bodyStart + *length);
        if (!answer.keepAlive)
            close();
        return "";
    }

private:
    std::string fail(std::string why)
    {
        close();
        return why;
    }

    std::string readMore(Clock::time_point deadline)
    {
        auto const left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return "no answer within " + std::to_string(answerTime.count()) + " s";
        pollfd waiting{socket, POLLIN, 0};
        auto const ready = ::poll(&waiting, 1, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno != EINTR)
            return std::string("poll: ") + std::strerror(errno);
        if (ready <= 0)
            return "";
        char chunk[65536];
        auto const got = ::recv(socket, chunk, sizeof chunk, 0);
        if (got < 0)
            return errno == EINTR || errno == EAGAIN ? ""
                                                     : std::string("recv: ") + std::strerror(errno);
        if (got == 0)
            return "the controller closed the connection in the middle of an answer";
        received.append(chunk, static_cast<std::size_t>(got));
        return "";
    }

    unsigned short port;
    int socket = -1;
    std::string received;
};

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

ListingClient::ListingClient(unsigned short port, std::uint64_t fleet, std::size_t pageLimit,
                             bool yielding)
    : port(port), fleet(fleet), pageLimit(pageLimit), yielding(yielding), thread([this] { run(); })
{
}

ListingClient::~ListingClient()
{
    finish();
}

ListingClient::Result ListingClient::finish()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
    return result;
}

void ListingClient::run()
{
    // The listing shares the benchmark's processor with the event loop that times the round
    // trips; at the idle policy it yields to that loop at once, so that what the figures show of
    // a stall is the controller's, not the parsing of the last page here.
    sched_param const idle{};
    if (yielding && ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle) != 0)
        std::cerr << "[bench] the listing thread could not take the idle policy\n";
    auto const started = Clock::now();
    HttpConnection connection(port);
    auto fault = [this](std::string text)
    {
        ++result.faults;
        if (result.faultTexts.size() < faultTextsKept)
            result.faultTexts.push_back(std::move(text));
    };
    // One request, on a new connection when the last one was closed; the answer's time in ms,
    // or nothing after a fault.
    auto ask = [&](std::string const &target, Answer &answer) -> std::optional<double>
    {
        if (!connection.isOpen())
        {
            if (auto why = connection.open(); !why.empty())
            {
                fault(target + ": " + why);
                return std::nullopt;
            }
            ++result.connections;
        }
        auto const sent = Clock::now();
        if (auto why = connection.ask(target, answer); !why.empty())
        {
            fault(target + ": " + why);
            return std::nullopt;
        }
        auto const ms = millisecondsSince(sent);
        if (answer.status != 200)
        {
            fault(target + ": status " + std::to_string(answer.status) + " " +
                  answer.body.substr(0, 100));
            return std::nullopt;
        }
        return ms;
    };

    std::vector<bool> seen(fleet + 1, false);
    std::uint64_t listedInPass = 0, lastUnit = 0, lookupUnit = 0;
    std::optional<std::uint64_t> after;
    bool passFaulty = false;
    auto restartPass = [&]
    {
        std::fill(seen.begin(), seen.end(), false);
        listedInPass = 0;
        lastUnit = 0;
        after.reset();
        passFaulty = false;
    };
    auto pageFault = [&](std::string text)
    {
        fault(std::move(text));
        passFaulty = true;
    };

    Answer answer;
    rapidjson::Document document;
    while (!stopping)
    {
        auto const target = "/devices?limit=" + std::to_string(pageLimit) +
                            (after ? "&after=" + std::to_string(*after) : "");
        auto const ms = ask(target, answer);
        if (!ms)
        {
            restartPass();
            // Not in a tight loop against an endpoint that refuses.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        ++result.pages;
        result.pageBytes += answer.body.size();
        result.pageMs.push_back(*ms);
        document.Parse(answer.body.data(), answer.body.size());
        if (document.HasParseError() || !document.IsObject() || !document.HasMember("devices") ||
            !document["devices"].IsArray() || !document.HasMember("next") ||
            !(document["next"].IsNull() || document["next"].IsUint64()))
        {
            pageFault(target + ": not a page: " + answer.body.substr(0, 100));
            restartPass();
            continue;
        }
        auto const &devices = document["devices"].GetArray();
        if (devices.Size() > pageLimit)
            pageFault(target + ": " + std::to_string(devices.Size()) + " entries on one page");
        for (auto const &entry : devices)
        {
            if (!entry.IsObject() || !entry.HasMember("unit_id") || !entry["unit_id"].IsUint64() ||
                !entry.HasMember("state") || !entry["state"].IsString())
            {
                pageFault(target + ": an entry without unit_id or state");
                continue;
            }
            auto const unit = entry["unit_id"].GetUint64();
            std::string_view const state = entry["state"].GetString();
            if (unit == 0 || unit > fleet)
                pageFault(target + ": unit " + std::to_string(unit) + " is not of the fleet");
            else if (seen[unit])
                pageFault(target + ": unit " + std::to_string(unit) + " listed twice in a pass");
            else if (unit < lastUnit)
                pageFault(target + ": unit " + std::to_string(unit) + " listed after " +
                          std::to_string(lastUnit));
            else
            {
                seen[unit] = true;
                ++listedInPass;
                lastUnit = unit;
            }
            if (state != "admitted")
                pageFault(target + ": unit " + std::to_string(unit) + " " + std::string(state));
        }
        if (document["next"].IsNull())
        {
            if (listedInPass != fleet)
                pageFault("a pass listed " + std::to_string(listedInPass) + " of " +
                          std::to_string(fleet) + " units");
            if (!passFaulty)
                ++result.passes;
            restartPass();
        }
        else if (devices.Empty())
        {
            pageFault(target + ": an empty page with a next");
            restartPass();
        }
        else
            after = document["next"].GetUint64();

        if (result.pages % lookupEvery != 0 || stopping)
            continue;
        if (auto const statusMs = ask("/status.json", answer))
        {
            ++result.lookups;
            result.longestLookupMs = std::max(result.longestLookupMs, *statusMs);
            document.Parse(answer.body.data(), answer.body.size());
            if (document.HasParseError() || !document.IsObject() ||
                !document.HasMember("device_connections") ||
                !document["device_connections"].IsUint64())
                fault("/status.json: not a status: " + answer.body.substr(0, 100));
            else if ((result.statusConnections = document["device_connections"].GetUint64()) !=
                     fleet)
                fault("/status.json: device_connections " +
                      std::to_string(result.statusConnections) + ", not " + std::to_string(fleet));
        }
        // A unit of the fleet in turn, spread over it.
        lookupUnit = (lookupUnit + 7919) % fleet;
        auto const unit = lookupUnit + 1;
        auto const path = "/devices/" + std::to_string(unit);
        if (auto const unitMs = ask(path, answer))
        {
            ++result.lookups;
            result.longestLookupMs = std::max(result.longestLookupMs, *unitMs);
            document.Parse(answer.body.data(), answer.body.size());
            bool const whole = !document.HasParseError() && document.IsObject() &&
                               document.HasMember("unit_id") && document["unit_id"].IsUint64() &&
                               document.HasMember("online") && document["online"].IsBool() &&
                               document.HasMember("connections") &&
                               document["connections"].IsArray();
            if (!whole)
                fault(path + ": not a device: " + answer.body.substr(0, 100));
            else if (document["unit_id"].GetUint64() != unit || !document["online"].GetBool() ||
                     document["connections"].Size() != 1)
                fault(path + ": not the one online connection of unit " + std::to_string(unit) +
                      ": " + answer.body.substr(0, 100));
        }
    }
    result.elapsed = Clock::now() - started;
}

} // namespace kelvarin::triggerTesting::bench
