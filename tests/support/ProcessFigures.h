#pragma once

// Figures of this process read from /proc, for the soak benchmarks: memory lines of
// /proc/self/status, open file descriptors and threads.
class ProcessFigures
{
public:
    // A field of /proc/self/status in kB (VmRSS, VmHWM, RssAnon...), or -1.
    static long long StatusKb(const char* ip_field);
    static long long Descriptors();
    static long long Threads();
};
