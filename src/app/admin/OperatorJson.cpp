#include "app/admin/OperatorJson.hpp"

#include "common/EndpointText.hpp"
#include "common/StringOutput.hpp"
#include "common/UtcText.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <array>

namespace kelvarin::triggerTesting
{

namespace
{

// A client's text, repeated in an error, goes out with every character above 0x7f escaped.
using EscapingWriter =
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>>;

// The lookups' texts are all the controller's own (states, MACs, endpoints, times, the version):
// ASCII, so they go out as they are, runs at a time, straight into the answer's string. A page
// writes thousands of them in one turn of the event loop.
struct PlainJson
{
    explicit PlainJson(std::size_t expected) : output(text, expected), writer(output, &levels) {}

    std::string take()
    {
        output.finish();
        return std::move(text);
    }

    std::string text;
    StringOutput output;
    rapidjson::CrtAllocator levels;
    rapidjson::Writer<StringOutput> writer;
};

template <class Writer> void writeText(Writer &writer, std::string_view text)
{
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

template <class Writer>
void writeEndpoint(Writer &writer, std::optional<boost::asio::ip::tcp::endpoint> const &endpoint)
{
    if (!endpoint)
    {
        writer.Null();
        return;
    }
    writeText(writer, endpointText(*endpoint));
}

template <class Writer> void writeTime(Writer &writer, std::chrono::system_clock::time_point time)
{
    UtcText const text(time);
    std::array<char, std::tuple_size_v<decltype(text.text)> + 1> zoned;
    std::copy(text.text.begin(), text.text.end(), zoned.begin());
    zoned.back() = 'Z';
    writer.String(zoned.data(), static_cast<rapidjson::SizeType>(zoned.size()));
}

char const *stateName(DeviceConnectionView::State state)
{
    switch (state)
    {
    case DeviceConnectionView::State::admitted:
        return "admitted";
    case DeviceConnectionView::State::refused:
        return "refused";
    case DeviceConnectionView::State::validating:
        break;
    }
    return "validating";
}

// The members every listing of a connection begins with, after its unit id.
template <class Writer> void writeIdentity(Writer &writer, DeviceConnectionView const &connection)
{
    writer.Key("state");
    writer.String(stateName(connection.state));
    writer.Key("mac");
    writeText(writer, connection.mac.toString());
    writer.Key("peer");
    writeEndpoint(writer, connection.peer);
    writer.Key("connected_at");
    writeTime(writer, connection.connectedAt);
}

// The length of the UTF-8 character at text[i]; 0 when the bytes there are none (cut short,
// overlong, a surrogate, above U+10FFFF).
std::size_t utf8Length(std::string_view text, std::size_t i)
{
    auto const byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    auto const first = byte(0);
    if (first < 0x80)
        return 1;
    std::size_t const length = first >= 0xC2 && first <= 0xDF   ? 2
                               : first >= 0xE0 && first <= 0xEF ? 3
                               : first >= 0xF0 && first <= 0xF4 ? 4
                                                                : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((byte(k) & 0xC0) != 0x80)
            return 0;
    auto const second = byte(1);
    if ((first == 0xE0 && second < 0xA0) || (first == 0xED && second > 0x9F) ||
        (first == 0xF0 && second < 0x90) || (first == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

} // namespace

std::string deviceJson(unsigned long unitId, bool online,
                       std::vector<DeviceConnectionView> const &connections)
{
    PlainJson json(64 + 300 * connections.size());
    auto &writer = json.writer;
    writer.StartObject();
    writer.Key("unit_id");
    writer.Uint64(unitId);
    writer.Key("online");
    writer.Bool(online);
    writer.Key("connections");
    writer.StartArray();
    for (auto const &connection : connections)
    {
        writer.StartObject();
        writeIdentity(writer, connection);
        writer.Key("registered_at");
        writeTime(writer, connection.registeredAt);
        writer.Key("admitted_at");
        if (connection.admittedAt)
            writeTime(writer, *connection.admittedAt);
        else
            writer.Null();
        writer.Key("tests_running");
        writer.Uint64(connection.testsRunning);
        writer.Key("queued_bytes");
        writer.Uint64(connection.queuedBytes);
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return json.take();
}

std::string devicePageJson(DevicePage const &page)
{
    // An entry is about 120 bytes.
    PlainJson json(64 + 128 * page.connections.size());
    auto &writer = json.writer;
    writer.StartObject();
    writer.Key("devices");
    writer.StartArray();
    for (auto const &connection : page.connections)
    {
        writer.StartObject();
        writer.Key("unit_id");
        writer.Uint64(connection.unitId);
        writeIdentity(writer, connection);
        writer.EndObject();
    }
    writer.EndArray();
    writer.Key("next");
    if (page.next)
        writer.Uint64(*page.next);
    else
        writer.Null();
    writer.EndObject();
    return json.take();
}

std::string statusJson(ControllerState const &state, std::string_view version)
{
    PlainJson json(512 + 128 * state.apiSessions.size());
    auto &writer = json.writer;
    writer.StartObject();
    writer.Key("version");
    writeText(writer, version);
    writer.Key("started_at");
    writeTime(writer, state.startTime);
    writer.Key("devices_online");
    writer.Uint64(state.devicesOnline);
    writer.Key("device_connections");
    writer.Uint64(state.deviceConnections);
    writer.Key("validations_pending");
    writer.Uint64(state.validationsPending);
    writer.Key("tests_running");
    writer.Uint64(state.testsRunning);
    writer.Key("reports_backlog");
    writer.Uint64(state.reportsBacklog);
    writer.Key("validator");
    writer.StartObject();
    writer.Key("endpoint");
    writeEndpoint(writer, state.validatorEndpoint);
    writer.Key("connected");
    writer.Bool(state.validatorConnected);
    writer.EndObject();
    writer.Key("api_sessions");
    writer.StartArray();
    for (auto const &session : state.apiSessions)
    {
        writer.StartObject();
        writer.Key("endpoint");
        writeEndpoint(writer, session.endpoint);
        writer.Key("state");
        writer.String(session.registered ? "registered" : "connecting");
        writer.Key("queued_bytes");
        writer.Uint64(session.queuedBytes);
        writer.Key("dropped_messages");
        writer.Uint64(session.droppedMessages);
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return json.take();
}

std::string errorJson(std::string_view message)
{
    rapidjson::StringBuffer buffer;
    EscapingWriter writer(buffer);
    writer.StartObject();
    writer.Key("error");
    writeText(writer, message);
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string quotedText(std::string_view text)
{
    auto const cut = text.substr(0, quotedTextLimit);
    std::string quoted;
    for (std::size_t i = 0; i < cut.size();)
    {
        if (auto const length = utf8Length(cut, i))
        {
            quoted.append(cut.substr(i, length));
            i += length;
            continue;
        }
        quoted += "\xEF\xBF\xBD";
        ++i;
    }
    return quoted;
}

} // namespace kelvarin::triggerTesting
