#pragma once

#include <cstddef>

// Records the largest single allocation made while a probe is active, so that tests can check
// that numbers from untrusted bytes never drive an allocation, and the most memory held through
// operator new at once beyond what was held when the probe started. A test that uses it links the
// replacement of the global operator new that comes with it.
class AllocationProbe
{
public:
    AllocationProbe();
    ~AllocationProbe();
    AllocationProbe(const AllocationProbe&) = delete;
    AllocationProbe& operator=(const AllocationProbe&) = delete;

    // Stops recording; the largest allocation stays readable.
    void Stop();
    std::size_t Largest() const;
    std::size_t Peak() const;
    // Bytes allocated through operator new while recording, whether freed since or not.
    std::size_t Allocated() const;

    // From now on allocations through operator new larger than this fail as when memory runs
    // out (std::bad_alloc, or null for the nothrow forms); 0 lets all through again.
    static void RefuseAbove(std::size_t i_bytes);

    // Buffers that Qt and the byte streams take with malloc escape the count above. The heap as
    // the allocator counts it, every thread's, can be sampled instead; the peak of the samples is
    // taken beyond what was held when the probe started.
    void Sample();
    std::size_t SampledPeak() const { return m_sampledPeak; }

private:
    std::size_t m_heapBase;
    std::size_t m_sampledPeak = 0;
};
