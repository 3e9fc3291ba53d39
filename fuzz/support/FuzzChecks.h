#pragma once

// What a fuzz target does when the code under test breaks a promise that no sanitizer watches:
// it names the broken promise and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void FailCheck(const char* ip_what);

inline void Require(bool i_condition, const char* ip_what)
{
    if (!i_condition)
        FailCheck(ip_what);
}
