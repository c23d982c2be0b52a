#pragma once
// Synchronous pipe reads for the raw baselines of the benchmarks.
#include <windows.h>

namespace bench {

// Reads exactly n bytes, continuing short reads; false when the pipe ends or fails first.
inline bool read_exact(HANDLE pipe, void* buffer, DWORD n)
{
    auto* p = static_cast<char*>(buffer);
    while (n) {
        DWORD got = 0;
        if (!ReadFile(pipe, p, n, &got, nullptr) || got == 0)
            return false;
        p += got;
        n -= got;
    }
    return true;
}

} // namespace bench
