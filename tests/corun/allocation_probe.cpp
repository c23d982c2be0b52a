#include "allocation_probe.h"

#include <cstdlib>
#include <limits>
#include <new>

thread_local long allocations_on_this_thread = 0;
thread_local std::size_t refused_allocation_size = std::numeric_limits<std::size_t>::max();

void* operator new(std::size_t size)
{
    ++allocations_on_this_thread;
    if (size >= refused_allocation_size)
        throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}
