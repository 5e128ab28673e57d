#pragma once

#include <juce_core/juce_core.h>

namespace marlune::state
{
    /** True when the bytes hold a value tree that the framework's reader can
        take without running past the data. The reader trusts the counts it
        finds (properties, children, array elements, blob sizes), so a damaged
        or hostile blob could otherwise make it allocate gigabytes or loop for
        billions of steps; such data is refused as unreadable. */
    bool isWellFormedTree (const void* data, size_t numBytes);
}
