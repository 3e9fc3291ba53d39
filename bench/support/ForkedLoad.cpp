#include "ForkedLoad.h"

#include <unistd.h>

#include <cstdio>

ForkedLoad::Ends
ForkedLoad::Start(const std::function<int(int i_fromClient, int i_toClient)>& i_load)
{
    int l_toLoad[2];
    int l_fromLoad[2];
    if (::pipe(l_toLoad) != 0 || ::pipe(l_fromLoad) != 0)
    {
        std::perror("pipe");
        return Ends();
    }
    const pid_t l_pid = fork();
    if (l_pid < 0)
    {
        std::perror("fork");
        return Ends();
    }
    if (l_pid == 0)
    {
        ::close(l_toLoad[1]);
        ::close(l_fromLoad[0]);
        _exit(i_load(l_toLoad[0], l_fromLoad[1]));
    }
    ::close(l_toLoad[0]);
    ::close(l_fromLoad[1]);
    return Ends{l_pid, l_toLoad[1], l_fromLoad[0]};
}
