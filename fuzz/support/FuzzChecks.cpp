#include "FuzzChecks.h"

#include <cstdio>
#include <cstdlib>

void FailCheck(const char* ip_what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", ip_what);
    std::abort();
}
