#pragma once
// This test program's own operator new, shared by its test files: it counts each thread's
// allocations and fails, on demand, those of a thread that reach a given size.
#include <cstddef>

// Allocations made by this thread so far.
extern thread_local long allocations_on_this_thread;
// Allocations of at least this many bytes fail on this thread with std::bad_alloc (out of
// memory on demand); the largest size_t, the default, refuses none.
extern thread_local std::size_t refused_allocation_size;
