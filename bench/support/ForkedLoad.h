#pragma once

#include <sys/types.h>

#include <functional>

// The second process of a soak, which makes the load: forked before anything else starts, so
// that the two processes share nothing but two pipes and the loopback interface.
class ForkedLoad
{
public:
    struct Ends
    {
        pid_t m_pid = -1; // -1 when the process could not be made (the reason is printed)
        int m_toLoad = -1;
        int m_fromLoad = -1;
    };

    // Runs the load in the new process with its two ends of the pipes (what it reads, what it
    // writes); the process exits with what the load returns.
    static Ends Start(const std::function<int(int i_fromClient, int i_toClient)>& i_load);
};
