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
};
