#include "AllocationProbe.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#ifdef __SANITIZE_ADDRESS__
// The address sanitizer's own count: its allocator does not fill in mallinfo2.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace
{
std::atomic<bool> g_tracking{false};
std::atomic<std::size_t> g_largest{0};
std::atomic<std::size_t> g_allocated{0};
// Bytes held through operator new, always counted; the peak is taken while tracking.
std::atomic<long long> g_held{0};
std::atomic<long long> g_base{0};
std::atomic<long long> g_peak{0};
// Larger allocations fail as when memory runs out; 0 refuses none.
std::atomic<std::size_t> g_refusedAbove{0};

void Raise(std::atomic<long long>& i_maximum, long long i_value)
{
    long long l_maximum = i_maximum.load(std::memory_order_relaxed);
    while (i_value > l_maximum && !i_maximum.compare_exchange_weak(l_maximum, i_value))
    {
    }
}

void* Allocate(std::size_t i_size) noexcept
{
    const std::size_t l_refusedAbove = g_refusedAbove.load(std::memory_order_relaxed);
    if (l_refusedAbove > 0 && i_size > l_refusedAbove)
        return nullptr;
    void* lp_memory = std::malloc(i_size ? i_size : 1);
    const long long l_held = g_held +=
        lp_memory ? static_cast<long long>(malloc_usable_size(lp_memory)) : 0;
    if (g_tracking.load(std::memory_order_relaxed))
    {
        std::size_t l_largest = g_largest.load(std::memory_order_relaxed);
        while (i_size > l_largest && !g_largest.compare_exchange_weak(l_largest, i_size))
        {
        }
        Raise(g_peak, l_held - g_base);
        g_allocated.fetch_add(i_size, std::memory_order_relaxed);
    }
    return lp_memory;
}

void Free(void* ip_memory) noexcept
{
    if (ip_memory)
        g_held -= static_cast<long long>(malloc_usable_size(ip_memory));
    std::free(ip_memory);
}

std::size_t HeapInUse()
{
#ifdef __SANITIZE_ADDRESS__
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 l_info = mallinfo2();
    return l_info.uordblks + l_info.hblkhd;
#endif
}

void* AllocateOrThrow(std::size_t i_size)
{
    if (void* lp_memory = Allocate(i_size))
        return lp_memory;
    throw std::bad_alloc();
}
} // namespace

AllocationProbe::AllocationProbe() : m_heapBase(HeapInUse())
{
    g_largest = 0;
    g_allocated = 0;
    g_base = g_held.load();
    g_peak = 0;
    g_tracking = true;
}

AllocationProbe::~AllocationProbe()
{
    Stop();
}

void AllocationProbe::Stop()
{
    g_tracking = false;
}

void AllocationProbe::RefuseAbove(std::size_t i_bytes)
{
    g_refusedAbove = i_bytes;
}

std::size_t AllocationProbe::Largest() const
{
    return g_largest;
}

std::size_t AllocationProbe::Peak() const
{
    return static_cast<std::size_t>(g_peak.load());
}

std::size_t AllocationProbe::Allocated() const
{
    return g_allocated;
}

void AllocationProbe::Sample()
{
    const std::size_t l_held = HeapInUse();
    if (l_held > m_heapBase)
        m_sampledPeak = std::max(m_sampledPeak, l_held - m_heapBase);
}

void* operator new(std::size_t i_size)
{
    return AllocateOrThrow(i_size);
}
void* operator new[](std::size_t i_size)
{
    return AllocateOrThrow(i_size);
}
void* operator new(std::size_t i_size, const std::nothrow_t&) noexcept
{
    return Allocate(i_size);
}
void* operator new[](std::size_t i_size, const std::nothrow_t&) noexcept
{
    return Allocate(i_size);
}
void operator delete(void* ip_memory) noexcept
{
    Free(ip_memory);
}
void operator delete[](void* ip_memory) noexcept
{
    Free(ip_memory);
}
void operator delete(void* ip_memory, std::size_t) noexcept
{
    Free(ip_memory);
}
void operator delete[](void* ip_memory, std::size_t) noexcept
{
    Free(ip_memory);
}
void operator delete(void* ip_memory, const std::nothrow_t&) noexcept
{
    Free(ip_memory);
}
void operator delete[](void* ip_memory, const std::nothrow_t&) noexcept
{
    Free(ip_memory);
}
