#include "device/DeviceError.hpp"

#include <string>

namespace kelvarin::triggerTesting
{

namespace
{

class DeviceErrorCategory : public boost::system::error_category
{
public:
    char const *name() const noexcept override { return "device"; }
    std::string message(int value) const override
    {
        switch (static_cast<DeviceError>(value))
        {
        case DeviceError::registrationTimeout:
            return "Register message timed out";
        }
        return "Unknown device error";
    }
};

} // namespace

boost::system::error_category const &deviceErrorCategory()
{
    static DeviceErrorCategory const category;
    return category;
}

boost::system::error_code make_error_code(DeviceError error)
{
    return {static_cast<int>(error), deviceErrorCategory()};
}

} // namespace kelvarin::triggerTesting
