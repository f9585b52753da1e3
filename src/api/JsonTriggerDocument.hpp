#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <string>

namespace kelvarin::triggerTesting
{

// One API message parsed and checked for its envelope: an object with a string "type" and an
// object "data". Throws std::runtime_error with the envelope's error texts.
class JsonTriggerDocument
{
public:
    explicit JsonTriggerDocument(std::string const &text);
    JsonTriggerDocument(JsonTriggerDocument const &) = delete;
    JsonTriggerDocument &operator=(JsonTriggerDocument const &) = delete;

private:
    // The values of a message of the usual size fit in here, so that reading one takes nothing
    // from the heap for them; a larger one goes on in chunks small enough for the allocator's
    // thread caches (the library's own first chunk, 64 KiB, was a large allocation for every
    // message).
    alignas(std::max_align_t) char valueRoom[2048];
    rapidjson::MemoryPoolAllocator<> values{valueRoom, sizeof valueRoom, 4096};

public:
    rapidjson::Document document{&values};
    std::string type;
    rapidjson::Value const *data = nullptr;
};

} // namespace kelvarin::triggerTesting
