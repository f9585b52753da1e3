#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kelvarin::triggerTesting::testSupport
{

// Lowers the soft descriptor limit so that the process cannot open one more descriptor ("Too
// many open files"), and puts the old limit back when it goes.
class DescriptorExhaustion
{
public:
    DescriptorExhaustion()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved);
        int const lowestFree = ::open("/dev/null", O_RDONLY);
        ::close(lowestFree);
        rlimit lowered = saved;
        lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorExhaustion() { ::setrlimit(RLIMIT_NOFILE, &saved); }
    DescriptorExhaustion(DescriptorExhaustion const &) = delete;
    DescriptorExhaustion &operator=(DescriptorExhaustion const &) = delete;

private:
    rlimit saved{};
};

} // namespace kelvarin::triggerTesting::testSupport
