#pragma once

#include <memory>

namespace kelvarin::triggerTesting
{

// The answer callback of an asker that may be gone before the answer comes: a device connection
// can end long before the validator answers. The table of pending validations recognises it and
// forgets askers that are gone, so that connections that come and go leave nothing behind.
struct AskerCallback
{
    using Deliver = void (*)(void *asker, bool valid);

    void operator()(bool valid) const
    {
        if (auto const held = asker.lock())
            deliver(held.get(), valid);
    }
    bool isGone() const { return asker.expired(); }

    std::weak_ptr<void> asker;
    Deliver deliver = nullptr;
};

} // namespace kelvarin::triggerTesting
