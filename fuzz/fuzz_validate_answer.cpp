// Validator answers: any text either names a validation, which an answer written back from what
// was read names again with the same verdict, or fails with an error text.
#include "ServiceStack.hpp"
#include "status/ValidateAnswer.hpp"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

using namespace kelvarin::triggerTesting;

namespace
{

std::string rewritten(ValidateAnswer const &answer)
{
    std::string text =
        "{\"type\":\"validate\",\"data\":{\"unit_id\":" + std::to_string(answer.key.unitId) +
        ",\"mac\":\"" + answer.key.mac.toString() + "\"";
    if (answer.result)
        text += *answer.result ? ",\"result\":true" : ",\"result\":false";
    return text + "}}";
}

void checkVerdict(ValidateAnswer const &answer)
{
    try
    {
        if (answer.requireResult() != answer.result.value())
            std::abort();
    }
    catch (std::runtime_error const &)
    {
        if (answer.result)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const *data, std::size_t size)
{
    std::string const text(reinterpret_cast<char const *>(data), size);
    onServiceStack(
        [&]
        {
            try
            {
                auto const answer = parseValidateAnswer(text);
                checkVerdict(answer);
                auto const again = parseValidateAnswer(rewritten(answer));
                if (again.key.unitId != answer.key.unitId || !(again.key.mac == answer.key.mac) ||
                    again.result != answer.result)
                    std::abort();
            }
            catch (std::runtime_error const &)
            {
            }
        });
    return 0;
}
