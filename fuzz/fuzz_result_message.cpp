// Result texts from devices: the result message is built from any text that is a JSON object,
// and is then itself a JSON object; any other text is refused.
#include "ServiceStack.hpp"
#include "api/ResultMessage.hpp"

#include <boost/uuid/uuid.hpp>
#include <rapidjson/document.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

using namespace kelvarin::triggerTesting;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const *data, std::size_t size)
{
    std::string text(reinterpret_cast<char const *>(data), size);
    TestMetadata metadata;
    metadata.unitId = 18446744073709551615ull;
    metadata.task = "fuzz";
    onServiceStack(
        [&]
        {
            try
            {
                auto const message = buildResultMessage(
                    Reply(boost::uuids::uuid{}, Result(std::move(text), true)), metadata);
                rapidjson::Document parsed;
                if (parsed.Parse<rapidjson::kParseIterativeFlag>(message.c_str()).HasParseError() ||
                    !parsed.IsObject() || !parsed.HasMember("data") || !parsed["data"].IsObject())
                    std::abort();
            }
            catch (std::runtime_error const &)
            {
            }
        });
    return 0;
}
