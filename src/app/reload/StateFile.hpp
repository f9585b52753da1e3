#pragma once

#include "app/reload/ReloadState.hpp"

#include <cstdint>
#include <system_error>

namespace kelvarin::triggerTesting
{

// The memory file that carries a reload's state to the next program. It is made before anything
// is held, so that a controller with no descriptor left refuses the reload instead of failing
// it after its connections were held.
class StateFile
{
public:
    StateFile() = default;
    StateFile(StateFile const &) = delete;
    StateFile &operator=(StateFile const &) = delete;
    ~StateFile() { close(); }

    std::error_code open();
    // Gives the file its pages from `offset` on, ahead of the state: writing then only copies.
    std::error_code reserve(std::uint64_t offset, std::uint64_t length);
    // The state, written to the file just opened, which is then ready to be read and as long
    // as the state, whatever was reserved.
    std::error_code write(ReloadState const &state);
    void close();
    int descriptor() const { return memory; }

private:
    int memory = -1;
};

} // namespace kelvarin::triggerTesting
