#include "AllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
std::atomic<bool> g_tracking{false};
std::atomic<std::size_t> g_largest{0};

void* Allocate(std::size_t i_size) noexcept
{
    if (g_tracking.load(std::memory_order_relaxed))
    {
        std::size_t l_largest = g_largest.load(std::memory_order_relaxed);
        while (i_size > l_largest && !g_largest.compare_exchange_weak(l_largest, i_size))
        {
        }
    }
    return std::malloc(i_size ? i_size : 1);
}

void* AllocateOrThrow(std::size_t i_size)
{
    if (void* lp_memory = Allocate(i_size))
        return lp_memory;
    throw std::bad_alloc();
}
} // namespace

AllocationProbe::AllocationProbe()
{
    g_largest = 0;
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

std::size_t AllocationProbe::Largest() const
{
    return g_largest;
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
    std::free(ip_memory);
}
void operator delete[](void* ip_memory) noexcept
{
    std::free(ip_memory);
}
void operator delete(void* ip_memory, std::size_t) noexcept
{
    std::free(ip_memory);
}
void operator delete[](void* ip_memory, std::size_t) noexcept
{
    std::free(ip_memory);
}
void operator delete(void* ip_memory, const std::nothrow_t&) noexcept
{
    std::free(ip_memory);
}
void operator delete[](void* ip_memory, const std::nothrow_t&) noexcept
{
    std::free(ip_memory);
}
