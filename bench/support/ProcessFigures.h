#pragma once

// Figures of this process read from /proc, for the soak benchmarks: memory lines of
// /proc/self/status, open file descriptors and threads, and the allocator's own account.
class ProcessFigures
{
public:
    struct MemoryFigures
    {
        long long rssKb = 0;
        // Of the RSS: private memory, and pages of shared memory (files on /dev/shm) mapped.
        long long anonymousKb = 0;
        long long shmemKb = 0;
        long long heapInUseKb = 0;
    };

    // After handing back to the system what the allocator holds free: that memory is not the
    // program's.
    static MemoryFigures Memory();
    // A field of /proc/self/status in kB (VmRSS, VmHWM, RssAnon...), or -1.
    static long long StatusKb(const char* ip_field);
    static long long Descriptors();
    static long long Threads();
    // Bytes handed out by the allocator and not yet freed, over every arena, in kB.
    static long long HeapInUseKb();
    // Raises the limit of open descriptors as far as allowed; returns the limit now in force.
    static unsigned long long RaiseDescriptorLimit();
};
