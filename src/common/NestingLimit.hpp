#pragma once

#include <rapidjson/reader.h>

#include <cstdint>

namespace kelvarin::triggerTesting
{

// How deep objects and arrays may nest in JSON from outside. Real messages stay within a handful
// of levels; the limit keeps whatever reads or writes them again bounded.
inline constexpr unsigned maxJsonNesting = 128;

// Passes the events of a JSON reader on to the inner handler, and stops the reading as soon as
// objects and arrays nest deeper than maxJsonNesting.
template <typename Inner> class NestingLimit
{
public:
    using Ch = char;

    explicit NestingLimit(Inner &inner) : inner(inner) {}

    bool Null() { return inner.Null(); }
    bool Bool(bool value) { return inner.Bool(value); }
    bool Int(int value) { return inner.Int(value); }
    bool Uint(unsigned value) { return inner.Uint(value); }
    bool Int64(std::int64_t value) { return inner.Int64(value); }
    bool Uint64(std::uint64_t value) { return inner.Uint64(value); }
    bool Double(double value) { return inner.Double(value); }
    bool RawNumber(Ch const *text, rapidjson::SizeType length, bool copy)
    {
        return inner.RawNumber(text, length, copy);
    }
    bool String(Ch const *text, rapidjson::SizeType length, bool copy)
    {
        return inner.String(text, length, copy);
    }
    bool Key(Ch const *text, rapidjson::SizeType length, bool copy)
    {
        return inner.Key(text, length, copy);
    }
    bool StartObject() { return enter() && inner.StartObject(); }
    bool EndObject(rapidjson::SizeType members)
    {
        --depth;
        return inner.EndObject(members);
    }
    bool StartArray() { return enter() && inner.StartArray(); }
    bool EndArray(rapidjson::SizeType elements)
    {
        --depth;
        return inner.EndArray(elements);
    }

private:
    bool enter() { return ++depth <= maxJsonNesting; }

    Inner &inner;
    unsigned depth = 0;
};

// Reads exactly one JSON value from the stream into the handler, with the default (strict)
// rules, iteratively: however deep the text nests, the reading takes no more call stack. False
// when the text is not one well-formed value, nests too deep, or the handler refused an event.
template <typename InputStream, typename Handler>
bool readJson(InputStream &stream, Handler &handler)
{
    NestingLimit<Handler> limited(handler);
    // Given an allocator, the reader does not make one of its own on the heap for each text.
    rapidjson::CrtAllocator stackAllocator;
    rapidjson::Reader reader(&stackAllocator);
    return !reader.Parse<rapidjson::kParseIterativeFlag>(stream, limited).IsError();
}

} // namespace kelvarin::triggerTesting
