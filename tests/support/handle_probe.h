#pragma once
// A mark of this process's handle table that climbs while handles leak (the platform's handle
// count reports 0 under Wine). New handles take the lowest free slots, so the highest of a
// batch of new handles held at once sits above every slot in use but for the batch's own: a
// handle left open anywhere below moves it up by one slot. A batch, not one handle, because a
// slot that something else frees for a moment would hide one probe; the lowest of three
// batches, so that a handle another thread holds for a moment does not count.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace wharf_test {

inline std::uintptr_t handle_table_mark()
{
    std::uintptr_t lowest = UINTPTR_MAX;
    for (int round = 0; round < 3; ++round) {
        std::array<HANDLE, 32> batch{};
        std::uintptr_t highest = 0;
        for (HANDLE& probe : batch) {
            probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            highest = std::max(highest, reinterpret_cast<std::uintptr_t>(probe));
        }
        for (HANDLE probe : batch)
            CloseHandle(probe);
        lowest = std::min(lowest, highest);
    }
    return lowest;
}

} // namespace wharf_test
