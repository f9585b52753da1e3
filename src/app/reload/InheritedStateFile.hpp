#pragma once

#include "common/HeldText.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

namespace kelvarin::triggerTesting
{

// The memory file a previous program handed its state over in, as this program reads it. Its
// large texts are not copied out: each is mapped where it lies, and kept by the texts that refer
// to it. The rest of the file is given back in slices once the sessions hold what they took,
// each text's pages once it is gone, and the file closes with the last of them.
class InheritedStateFile : public std::enable_shared_from_this<InheritedStateFile>
{
public:
    // Texts from this size on are mapped; smaller ones are copied, as a mapping of their own
    // would cost more than the copy.
    static constexpr std::size_t mappedFrom = 256 * 1024;
    // What releaseSlice() gives back at most.
    static constexpr std::uint64_t slice = 16 << 20;

    explicit InheritedStateFile(int descriptor);
    ~InheritedStateFile();
    InheritedStateFile(InheritedStateFile const &) = delete;
    InheritedStateFile &operator=(InheritedStateFile const &) = delete;

    int descriptor() const { return memory; }
    // The `size` bytes at `offset`, mapped; none when the mapping fails (the caller copies them).
    std::optional<HeldText> map(std::uint64_t offset, std::size_t size);
    // Gives back the next slice of the file, from its end, but for the pages mapped texts keep;
    // false once the whole file was passed.
    bool releaseSlice();

private:
    // The page range of every live mapping, by its start; two may share their boundary page.
    using Mappings = std::multimap<std::uint64_t, std::uint64_t>;

    void forget(Mappings::iterator mapping, std::uint64_t offset, std::size_t size);
    void giveBack(std::uint64_t begin, std::uint64_t end);

    int memory;
    std::uint64_t page;
    std::uint64_t releasedDownTo; // from here to the end, nothing but mapped pages is left
    Mappings mapped;
};

} // namespace kelvarin::triggerTesting
