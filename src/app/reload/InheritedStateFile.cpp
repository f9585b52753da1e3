#include "app/reload/InheritedStateFile.hpp"

#include <algorithm>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvarin::triggerTesting
{

InheritedStateFile::InheritedStateFile(int descriptor)
    : memory(descriptor), page(static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)))
{
    struct stat status
    {
    };
    releasedDownTo = ::fstat(memory, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

InheritedStateFile::~InheritedStateFile()
{
    ::close(memory);
}

std::optional<HeldText> InheritedStateFile::map(std::uint64_t offset, std::size_t size)
{
    auto const pageStart = offset & ~(page - 1);
    auto const length = offset + size - pageStart;
    void *const at =
        ::mmap(nullptr, length, PROT_READ, MAP_SHARED, memory, static_cast<off_t>(pageStart));
    if (at == MAP_FAILED)
        return std::nullopt;
    auto const mapping = mapped.emplace(pageStart, length);
    std::shared_ptr<void const> keeper(
        at,
        [file = shared_from_this(), mapping, offset, size](void const *address)
        {
            ::munmap(const_cast<void *>(address), mapping->second);
            file->forget(mapping, offset, size);
        });
    std::string_view const bytes(static_cast<char const *>(at) + (offset - pageStart), size);
    return HeldText(std::move(keeper), bytes);
}

void InheritedStateFile::forget(Mappings::iterator mapping, std::uint64_t offset, std::size_t size)
{
    mapped.erase(mapping);
    // The pages that hold nothing but this text; its first and last may be another's too.
    auto const innerBegin = (offset + page - 1) & ~(page - 1);
    auto const innerEnd = (offset + size) & ~(page - 1);
    if (innerBegin < innerEnd)
        giveBack(innerBegin, innerEnd);
}

bool InheritedStateFile::releaseSlice()
{
    if (releasedDownTo == 0)
        return false;
    auto const end = releasedDownTo;
    auto const begin = end > slice ? (end - slice) & ~(page - 1) : 0;
    // Between the mappings that reach into the slice, from its start up.
    auto next = begin;
    for (auto const &[start, length] : mapped)
    {
        auto const mappingEnd = std::min(start + length, end);
        if (mappingEnd <= begin || start >= end)
            continue;
        if (start > next)
            giveBack(next, start);
        next = std::max(next, (mappingEnd + page - 1) & ~(page - 1));
    }
    if (next < end)
        giveBack(next, end);
    releasedDownTo = begin;
    return begin > 0;
}

void InheritedStateFile::giveBack(std::uint64_t begin, std::uint64_t end)
{
    ::fallocate(memory, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(begin),
                static_cast<off_t>(end - begin));
}

} // namespace kelvarin::triggerTesting
