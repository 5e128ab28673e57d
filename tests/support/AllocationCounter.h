#pragma once

#include <cstdint>
#include <functional>

namespace marlune::test
{
    struct HeapActivity
    {
        std::int64_t allocations = 0;   // malloc, calloc, realloc, memalign family, operator new
        std::int64_t frees = 0;

        bool any() const noexcept { return allocations != 0 || frees != 0; }
    };

    /** Counts the heap calls that the calling thread makes while the function
        runs; other threads' calls are not counted. Every allocation path of the
        C library is hooked, so JUCE's HeapBlock (std::malloc) is caught as well
        as operator new. */
    HeapActivity countHeapActivity (const std::function<void()>& body);

    /** While one exists, the calling thread's heap calls are counted. */
    class ScopedHeapCounter
    {
    public:
        ScopedHeapCounter();
        ~ScopedHeapCounter();
        HeapActivity activity() const;

    private:
        HeapActivity start;
    };
}
