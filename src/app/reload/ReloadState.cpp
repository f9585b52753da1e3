#include "app/reload/ReloadState.hpp"

#include "app/reload/InheritedStateFile.hpp"
#include "common/UuidText.hpp"

#include <boost/uuid/string_generator.hpp>
#include <rapidjson/document.h>
#include <rapidjson/filewritestream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace kelvarin::triggerTesting
{

namespace
{

// Names and small texts go as JSON strings: the writer passes bytes above 0x7f on as they are
// and escapes control characters, NUL included; the reader, which is not asked to check the
// encoding, gives back the same bytes. The texts a peer sent or is sent (partly read messages,
// queued messages, tasks, reports) go as they are, after the document: in the document each is
// [offset, size] into those bytes. Escaped, a text of control bytes would take six times its
// size, and one of quotes twice.
template <class Stream> class StateWriter : public rapidjson::Writer<Stream>
{
public:
    explicit StateWriter(Stream &stream) : rapidjson::Writer<Stream>(stream) {}

    void Bytes(std::string_view text)
    {
        this->StartArray();
        this->Uint64(bytesAfter);
        this->Uint64(text.size());
        this->EndArray();
        bytesAfter += text.size();
        texts.push_back(text);
    }

    // In the order of their offsets.
    std::vector<std::string_view> texts;

private:
    std::uint64_t bytesAfter = 0;
};

template <class Writer> void writeText(Writer &writer, std::string_view text)
{
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
}

std::string_view textOf(std::string const &text)
{
    return text;
}

std::string_view textOf(SharedText const &text)
{
    return *text;
}

// Texts held as they are, or shared with the session that queued them.
template <class Writer, class Text> void writeBytes(Writer &writer, std::vector<Text> const &texts)
{
    writer.StartArray();
    for (auto const &text : texts)
        writer.Bytes(textOf(text));
    writer.EndArray();
}

using WallTime = std::optional<std::chrono::system_clock::time_point>;

// Milliseconds since the epoch, when there is a time.
template <class Writer> void writeTime(Writer &writer, char const *key, WallTime const &time)
{
    if (!time)
        return;
    writer.Key(key);
    writer.Int64(
        std::chrono::duration_cast<std::chrono::milliseconds>(time->time_since_epoch()).count());
}

template <class Writer> void writeDevice(Writer &writer, ReloadState::Device const &device)
{
    writer.StartObject();
    writer.Key("fd");
    writer.Int(device.descriptor);
    writer.Key("ipv6");
    writer.Bool(device.ipv6);
    writer.Key("unit");
    writer.Uint64(device.unitId);
    writer.Key("state");
    writer.Uint(device.state);
    writer.Key("owner");
    writer.Bool(device.ownsUnit);
    if (device.registrationLeft)
    {
        writer.Key("registrationLeftMs");
        writer.Uint64(static_cast<std::uint64_t>(device.registrationLeft->count()));
    }
    writer.Key("silenceMs");
    writer.Uint64(static_cast<std::uint64_t>(device.silence.count()));
    writer.Key("pending");
    writer.Bytes(device.pending);
    writer.Key("unsent");
    writeBytes(writer, device.unsent);
    writer.Key("mac");
    writeText(writer, std::string_view(reinterpret_cast<char const *>(device.mac.bytes.data()),
                                       device.mac.bytes.size()));
    writer.Key("refused");
    writer.Bool(device.refused);
    writeTime(writer, "connectedAtMs", device.connectedAt);
    writeTime(writer, "registeredAtMs", device.registeredAt);
    writeTime(writer, "admittedAtMs", device.admittedAt);
    writer.EndObject();
}

template <class Writer>
void writeRequest(Writer &writer, ReloadState::RunningRequest const &request)
{
    writer.StartObject();
    writer.Key("id");
    writeText(writer, UuidText(request.metadata.testId).view());
    writer.Key("unit");
    writer.Uint64(request.metadata.unitId);
    writer.Key("task");
    writer.Bytes(request.metadata.task);
    writer.Key("action");
    writer.Uint64(request.metadata.actionId);
    writer.Key("device");
    writer.Int64(request.device);
    writer.EndObject();
}

template <class Writer> void writeApiQueue(Writer &writer, ReloadState::ApiQueue const &queue)
{
    writer.StartObject();
    writer.Key("endpoint");
    writeText(writer, queue.endpoint);
    writer.Key("fd");
    writer.Int(queue.descriptor);
    writer.Key("pending");
    writer.Bytes(queue.pending);
    writer.Key("unsent");
    writeBytes(writer, queue.unsent);
    writer.Key("dropped");
    writer.Uint64(queue.dropped);
    writer.EndObject();
}

template <class Writer>
void writeValidation(Writer &writer, ReloadState::PendingValidation const &validation)
{
    writer.StartObject();
    writer.Key("unit");
    writer.Uint64(validation.unitId);
    writer.Key("mac");
    writeText(writer, validation.mac);
    writer.Key("askers");
    writer.StartArray();
    for (auto asker : validation.askers)
        writer.Uint(asker);
    writer.EndArray();
    writer.EndObject();
}

template <class Writer, class Record, class WriteRecord>
void writeArray(Writer &writer, char const *key, std::vector<Record> const &records,
                WriteRecord writeRecord)
{
    writer.Key(key);
    writer.StartArray();
    for (auto const &record : records)
        writeRecord(writer, record);
    writer.EndArray();
}

// Reading: every member is looked up and checked; a missing or mistyped one names itself.
using Value = rapidjson::Value;

[[noreturn]] void damaged(std::string const &what)
{
    throw std::runtime_error("damaged state: " + what);
}

Value const &member(Value const &object, char const *name)
{
    if (!object.IsObject())
        damaged(std::string("no object around \"") + name + "\"");
    auto const found = object.FindMember(name);
    if (found == object.MemberEnd())
        damaged(std::string("no \"") + name + "\"");
    return found->value;
}

std::string textMember(Value const &object, char const *name)
{
    auto const &value = member(object, name);
    if (!value.IsString())
        damaged(std::string("\"") + name + "\" is not a string");
    return std::string(value.GetString(), value.GetStringLength());
}

std::uint64_t numberMember(Value const &object, char const *name)
{
    auto const &value = member(object, name);
    if (!value.IsUint64())
        damaged(std::string("\"") + name + "\" is not a number");
    return value.GetUint64();
}

// Zero when it is missing: a member that older programs did not write yet.
std::uint64_t optionalNumberMember(Value const &object, char const *name)
{
    return object.IsObject() && object.HasMember(name) ? numberMember(object, name) : 0;
}

std::uint32_t smallNumberMember(Value const &object, char const *name)
{
    auto const number = numberMember(object, name);
    if (number > std::numeric_limits<std::uint32_t>::max())
        damaged(std::string("\"") + name + "\" is out of range");
    return static_cast<std::uint32_t>(number);
}

bool flagMember(Value const &object, char const *name)
{
    auto const &value = member(object, name);
    if (!value.IsBool())
        damaged(std::string("\"") + name + "\" is not a flag");
    return value.GetBool();
}

int descriptorMember(Value const &object, bool optional = false)
{
    auto const &value = member(object, "fd");
    // -1: none, where a record may go without one.
    if (!value.IsInt() || value.GetInt() < (optional ? -1 : 0))
        damaged("\"fd\" is not a descriptor");
    return value.GetInt();
}

Value::ConstArray arrayMember(Value const &object, char const *name)
{
    auto const &value = member(object, name);
    if (!value.IsArray())
        damaged(std::string("\"") + name + "\" is not an array");
    return value.GetArray();
}

// Where the texts written as they are lie: after the document, from a state of version 2 on;
// before, they were strings in it.
struct TextsAfter
{
    bool present = false;
    char const *data = nullptr;
    std::size_t size = 0;
    // Where the state's file begins in memory, when the large texts are mapped out of it.
    char const *fileStart = nullptr;
    InheritedStateFile *file = nullptr;
};

// A large text's pages are made in one call, not one fault at a time as the copy reaches them.
std::string copyOf(char const *data, std::size_t size)
{
    constexpr std::size_t populatedFrom = 1 << 20;
    std::string text;
    text.reserve(size);
    if (size >= populatedFrom)
    {
        auto const page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        auto const begin = reinterpret_cast<std::uintptr_t>(text.data()) & ~(page - 1);
        auto const end =
            (reinterpret_cast<std::uintptr_t>(text.data()) + size + page - 1) & ~(page - 1);
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
    }
    text.append(data, size);
    return text;
}

// Where a text's bytes lie: in the document, or after it.
std::string_view locate(Value const &value, std::string const &what, TextsAfter const &after)
{
    if (!after.present)
    {
        if (!value.IsString())
            damaged(what + " is not a string");
        return {value.GetString(), value.GetStringLength()};
    }
    if (!value.IsArray() || value.Size() != 2 || !value[0].IsUint64() || !value[1].IsUint64())
        damaged(what + " is not a text");
    auto const at = value[0].GetUint64();
    auto const size = value[1].GetUint64();
    if (at > after.size || size > after.size - at)
        damaged(what + " runs past the end");
    return {after.data + at, size};
}

std::string bytesOf(Value const &value, std::string const &what, TextsAfter const &after)
{
    auto const bytes = locate(value, what, after);
    return copyOf(bytes.data(), bytes.size());
}

// A large text after the document stays in the file, mapped, rather than copied.
HeldText heldBytesOf(Value const &value, std::string const &what, TextsAfter const &after)
{
    auto const bytes = locate(value, what, after);
    if (after.present && after.file != nullptr && bytes.size() >= InheritedStateFile::mappedFrom)
        if (auto text = after.file->map(static_cast<std::uint64_t>(bytes.data() - after.fileStart),
                                        bytes.size()))
            return std::move(*text);
    return copyOf(bytes.data(), bytes.size());
}

std::string bytesMember(Value const &object, char const *name, TextsAfter const &after)
{
    return bytesOf(member(object, name), std::string("\"") + name + "\"", after);
}

std::vector<std::string> bytesArrayMember(Value const &object, char const *name,
                                          TextsAfter const &after)
{
    std::vector<std::string> texts;
    for (auto const &value : arrayMember(object, name))
        texts.push_back(bytesOf(value, std::string("an element of \"") + name + "\"", after));
    return texts;
}

// Exactly the 36-character form, as written.
boost::uuids::uuid uuidMember(Value const &object, char const *name)
{
    auto const text = textMember(object, name);
    try
    {
        if (text.size() == 36)
            return boost::uuids::string_generator()(text);
    }
    catch (std::runtime_error const &)
    {
    }
    damaged(std::string("\"") + name + "\" is not a uuid");
}

std::string macMember(Value const &object)
{
    auto mac = textMember(object, "mac");
    if (mac.size() != 6)
        damaged("\"mac\" is not six octets");
    return mac;
}

// A member that older programs did not write yet: none when it is missing.
WallTime timeMember(Value const &object, char const *name)
{
    if (!object.HasMember(name))
        return std::nullopt;
    auto const &value = member(object, name);
    if (!value.IsInt64())
        damaged(std::string("\"") + name + "\" is not a time");
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::milliseconds(value.GetInt64())));
}

// Far above any deadline; it keeps the duration's arithmetic from overflowing.
constexpr std::uint64_t maxMilliseconds = std::numeric_limits<std::int32_t>::max();

ReloadState::Device readDevice(Value const &value, TextsAfter const &after)
{
    ReloadState::Device device;
    device.descriptor = descriptorMember(value);
    device.ipv6 = flagMember(value, "ipv6");
    device.unitId = numberMember(value, "unit");
    device.state = smallNumberMember(value, "state");
    if (device.state > DeviceHandOver::lastState)
        damaged("\"state\" is out of range");
    // These are missing in the states of older programs: the unit then goes to the last one
    // taken over, and a connection gets the whole time to register and to be heard again.
    device.ownsUnit = !value.HasMember("owner") || flagMember(value, "owner");
    if (value.HasMember("registrationLeftMs"))
        device.registrationLeft = std::chrono::milliseconds(
            std::min<std::uint64_t>(numberMember(value, "registrationLeftMs"), maxMilliseconds));
    device.silence = std::chrono::milliseconds(
        std::min<std::uint64_t>(optionalNumberMember(value, "silenceMs"), maxMilliseconds));
    device.pending = bytesMember(value, "pending", after);
    device.unsent = bytesArrayMember(value, "unsent", after);
    // Older programs kept neither the MAC nor the times of a connection.
    if (value.HasMember("mac"))
        std::copy_n(macMember(value).begin(), device.mac.bytes.size(), device.mac.bytes.begin());
    device.refused = value.HasMember("refused") && flagMember(value, "refused");
    device.connectedAt = timeMember(value, "connectedAtMs");
    device.registeredAt = timeMember(value, "registeredAtMs");
    device.admittedAt = timeMember(value, "admittedAtMs");
    return device;
}

ReloadState::RunningRequest readRequest(Value const &value, std::size_t deviceCount,
                                        TextsAfter const &after)
{
    ReloadState::RunningRequest request{{uuidMember(value, "id"), numberMember(value, "unit"),
                                         heldBytesOf(member(value, "task"), "\"task\"", after),
                                         numberMember(value, "action")},
                                        -1};
    auto const &device = member(value, "device");
    if (!device.IsInt64() || device.GetInt64() < -1 ||
        device.GetInt64() >= static_cast<std::int64_t>(deviceCount))
        damaged("\"device\" is not a device");
    request.device = device.GetInt64();
    return request;
}

// Read once, and shared with the session that takes them over.
std::vector<SharedText> sharedBytesArrayMember(Value const &object, char const *name,
                                               TextsAfter const &after)
{
    std::vector<SharedText> texts;
    for (auto const &value : arrayMember(object, name))
        texts.push_back(std::make_shared<HeldText const>(
            heldBytesOf(value, std::string("an element of \"") + name + "\"", after)));
    return texts;
}

ReloadState::ApiQueue readApiQueue(Value const &value, TextsAfter const &after)
{
    return {textMember(value, "endpoint"), descriptorMember(value, true),
            bytesMember(value, "pending", after), sharedBytesArrayMember(value, "unsent", after),
            optionalNumberMember(value, "dropped")};
}

ReloadState::PendingValidation readValidation(Value const &value, std::size_t deviceCount)
{
    ReloadState::PendingValidation validation{numberMember(value, "unit"), macMember(value), {}};
    for (auto const &asker : arrayMember(value, "askers"))
    {
        if (!asker.IsUint() || asker.GetUint() >= deviceCount)
            damaged("an asker is not a device");
        validation.askers.push_back(asker.GetUint());
    }
    return validation;
}

ReloadState::Listener readListener(Value const &value)
{
    return {descriptorMember(value), flagMember(value, "ipv6")};
}

template <class Record, class ReadRecord>
std::vector<Record> readArray(Value const &document, char const *name, ReadRecord readRecord)
{
    std::vector<Record> records;
    for (auto const &value : arrayMember(document, name))
        records.push_back(readRecord(value));
    return records;
}

template <class Writer> void writeState(Writer &writer, ReloadState const &state)
{
    writer.StartObject();
    writer.Key("version");
    writer.Uint(ReloadState::formatVersion);
    writer.Key("configuration");
    writeText(writer, state.configuration);
    writeArray(writer, "listeners", state.listeners,
               [](Writer &w, ReloadState::Listener const &listener)
               {
                   w.StartObject();
                   w.Key("fd");
                   w.Int(listener.descriptor);
                   w.Key("ipv6");
                   w.Bool(listener.ipv6);
                   w.EndObject();
               });
    writeArray(writer, "devices", state.devices, writeDevice<Writer>);
    writeArray(writer, "requests", state.requests, writeRequest<Writer>);
    writeArray(writer, "apiQueues", state.apiQueues, writeApiQueue<Writer>);
    writeArray(writer, "validations", state.validations, writeValidation<Writer>);
    writer.Key("reports");
    writeBytes(writer, state.reports);
    writer.Key("counters");
    writer.StartObject();
    for (auto const &[name, value] : state.counters)
    {
        writeText(writer, name);
        writer.Uint64(value);
    }
    writer.EndObject();
    writer.EndObject();
}

} // namespace

std::string encodeReloadState(ReloadState const &state)
{
    rapidjson::StringBuffer buffer;
    StateWriter<rapidjson::StringBuffer> writer(buffer);
    writeState(writer, state);
    std::string text(buffer.GetString(), buffer.GetSize());
    for (auto const piece : writer.texts)
        text += piece;
    return text;
}

std::error_code writeReloadState(ReloadState const &state, int descriptor)
{
    // Through a buffer of its own, so that the state is never whole in memory a second time.
    int const copy = ::dup(descriptor);
    std::FILE *const file = copy < 0 ? nullptr : ::fdopen(copy, "w");
    if (file == nullptr)
    {
        std::error_code const failure(errno, std::system_category());
        if (copy >= 0)
            ::close(copy);
        return failure;
    }
    std::vector<char> buffer(64 * 1024);
    rapidjson::FileWriteStream stream(file, buffer.data(), buffer.size());
    StateWriter<rapidjson::FileWriteStream> writer(stream);
    writeState(writer, state);
    stream.Flush();
    for (auto const piece : writer.texts)
        std::fwrite(piece.data(), 1, piece.size(), file);
    std::error_code failure;
    if (std::ferror(file) != 0 || std::fflush(file) != 0)
        failure = {errno != 0 ? errno : EIO, std::system_category()};
    std::fclose(file);
    return failure;
}

ReloadState decodeReloadState(std::string text)
{
    return decodeReloadState(text.data(), text.size());
}

ReloadState decodeReloadState(char *text, std::size_t size, InheritedStateFile *file)
{
    rapidjson::Document document;
    // Iterative: the depth of a damaged text costs heap, not stack. In place: the document's
    // strings are read where they lie; every text is copied once, into the state.
    rapidjson::InsituStringStream stream(text);
    document.ParseStream<rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag |
                         rapidjson::kParseStopWhenDoneFlag>(stream);
    if (document.HasParseError())
        damaged("not JSON");
    auto const version = numberMember(document, "version");
    if (version < ReloadState::oldestFormatVersion || version > ReloadState::formatVersion)
        throw std::runtime_error("state format version " + std::to_string(version) +
                                 ", this program reads " +
                                 std::to_string(ReloadState::oldestFormatVersion) + " to " +
                                 std::to_string(ReloadState::formatVersion));
    TextsAfter after;
    if (version >= 2)
    {
        // Nothing but the texts follows the document.
        auto const end = std::min(stream.Tell(), size);
        after = {true, text + end, size - end, text, file};
    }
    ReloadState state;
    state.configuration = textMember(document, "configuration");
    state.listeners = readArray<ReloadState::Listener>(document, "listeners", readListener);
    for (auto const &value : arrayMember(document, "devices"))
        state.devices.push_back(readDevice(value, after));
    for (auto const &value : arrayMember(document, "requests"))
        state.requests.push_back(readRequest(value, state.devices.size(), after));
    for (auto const &value : arrayMember(document, "apiQueues"))
        state.apiQueues.push_back(readApiQueue(value, after));
    for (auto const &value : arrayMember(document, "validations"))
        state.validations.push_back(readValidation(value, state.devices.size()));
    state.reports = bytesArrayMember(document, "reports", after);
    // Older programs handed over no totals: the counters then start from zero.
    if (!document.HasMember("counters"))
        return state;
    auto const &counters = document["counters"];
    if (!counters.IsObject())
        damaged("\"counters\" is not an object");
    for (auto const &counter : counters.GetObject())
    {
        if (!counter.value.IsUint64())
            damaged("a counter is not a number");
        state.counters.emplace_back(
            std::string(counter.name.GetString(), counter.name.GetStringLength()),
            counter.value.GetUint64());
    }
    return state;
}

} // namespace kelvarin::triggerTesting
