#include "app/reload/StateFile.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kelvarin::triggerTesting
{

std::error_code StateFile::open()
{
    close();
    // Close-on-exec: the replacement clears it on this descriptor only.
    memory = ::memfd_create("tt_controller-state", MFD_CLOEXEC);
    if (memory < 0)
        return {errno, std::system_category()};
    return {};
}

std::error_code StateFile::reserve(std::uint64_t offset, std::uint64_t length)
{
    if (::fallocate(memory, 0, static_cast<off_t>(offset), static_cast<off_t>(length)) != 0)
        return {errno, std::system_category()};
    return {};
}

std::error_code StateFile::write(ReloadState const &state)
{
    if (auto const failure = writeReloadState(state, memory))
        return failure;
    auto const end = ::lseek(memory, 0, SEEK_CUR);
    if (end < 0 || ::ftruncate(memory, end) != 0 || ::lseek(memory, 0, SEEK_SET) != 0)
        return {errno, std::system_category()};
    return {};
}

void StateFile::close()
{
    if (memory >= 0)
        ::close(memory);
    memory = -1;
}

} // namespace kelvarin::triggerTesting
