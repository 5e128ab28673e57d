#include "AllocationCounter.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

// initial-exec TLS: reading it never allocates, even from inside malloc.
#define MARLUNE_TLS thread_local __attribute__ ((tls_model ("initial-exec")))

namespace
{
    MARLUNE_TLS int countingDepth = 0;
    MARLUNE_TLS std::int64_t allocationsSeen = 0;
    MARLUNE_TLS std::int64_t freesSeen = 0;

    inline void noteAllocation() noexcept { if (countingDepth > 0) ++allocationsSeen; }
    inline void noteFree() noexcept       { if (countingDepth > 0) ++freesSeen; }
}

#if defined (MARLUNE_SANITIZED)
// The sanitizers own malloc; they call these hooks for every allocation path.
extern "C" int __sanitizer_install_malloc_and_free_hooks (void (*) (const volatile void*, std::size_t),
                                                          void (*) (const volatile void*));
namespace
{
    void mallocHook (const volatile void*, std::size_t) { noteAllocation(); }
    void freeHook (const volatile void* p)              { if (p != nullptr) noteFree(); }

    struct HookInstaller
    {
        HookInstaller() { __sanitizer_install_malloc_and_free_hooks (mallocHook, freeHook); }
    } hookInstaller;
}
#else
// Interpose the C library's allocator for the whole process (a loaded plug-in
// bundle included) and forward to glibc's own entry points.
extern "C"
{
    void* __libc_malloc (std::size_t);
    void* __libc_calloc (std::size_t, std::size_t);
    void* __libc_realloc (void*, std::size_t);
    void* __libc_memalign (std::size_t, std::size_t);
    void  __libc_free (void*);

    void* malloc (std::size_t size)                 { noteAllocation(); return __libc_malloc (size); }
    void* calloc (std::size_t n, std::size_t size)  { noteAllocation(); return __libc_calloc (n, size); }
    void* realloc (void* p, std::size_t size)       { noteAllocation(); return __libc_realloc (p, size); }
    void  free (void* p)                            { if (p != nullptr) noteFree(); __libc_free (p); }
    void* memalign (std::size_t a, std::size_t s)   { noteAllocation(); return __libc_memalign (a, s); }
    void* aligned_alloc (std::size_t a, std::size_t s) { noteAllocation(); return __libc_memalign (a, s); }
    void* valloc (std::size_t s)                    { noteAllocation(); return __libc_memalign (4096, s); }

    int posix_memalign (void** out, std::size_t alignment, std::size_t size)
    {
        noteAllocation();
        if (alignment < sizeof (void*) || (alignment & (alignment - 1)) != 0)
            return EINVAL;
        void* p = __libc_memalign (alignment, size);
        if (p == nullptr)
            return ENOMEM;
        *out = p;
        return 0;
    }
}
#endif

namespace marlune::test
{
    ScopedHeapCounter::ScopedHeapCounter() : start { allocationsSeen, freesSeen } { ++countingDepth; }
    ScopedHeapCounter::~ScopedHeapCounter() { --countingDepth; }

    HeapActivity ScopedHeapCounter::activity() const
    {
        return { allocationsSeen - start.allocations, freesSeen - start.frees };
    }

    HeapActivity countHeapActivity (const std::function<void()>& body)
    {
        ScopedHeapCounter counter;
        body();
        return counter.activity();
    }
}
