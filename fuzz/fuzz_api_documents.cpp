// API messages: "execute" and "isOnline" texts from API servers, read as an API session reads
// them (first as a test request, then as an online query, inside a coroutine), either give a
// request whose data is valid JSON again, or fail with an error text.
#include "ServiceStack.hpp"
#include "api/IsOnlineJson.hpp"
#include "api/TestRequestJsonV1.hpp"

#include <rapidjson/document.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

using namespace kelvarin::triggerTesting;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const *data, std::size_t size)
{
    std::string const text(reinterpret_cast<char const *>(data), size);
    onServiceStack(
        [&]
        {
            try
            {
                TestRequestJsonV1 request(text);
                rapidjson::Document again;
                if (again.Parse<rapidjson::kParseIterativeFlag>(request.getData().c_str())
                        .HasParseError() ||
                    !again.IsObject())
                    std::abort();
                return;
            }
            catch (std::runtime_error const &)
            {
            }
            try
            {
                IsOnlineJson query(text);
            }
            catch (std::runtime_error const &)
            {
            }
        });
    return 0;
}
