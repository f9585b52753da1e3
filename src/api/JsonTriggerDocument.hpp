#pragma once

#include <rapidjson/document.h>

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

    rapidjson::Document document;
    std::string type;
    rapidjson::Value const *data = nullptr;
};

} // namespace kelvarin::triggerTesting
