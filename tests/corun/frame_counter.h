#pragma once
#include <atomic>

// Counts live coroutine frames: a coroutine takes a counted_frame parameter by value, and
// the frame's copy of a parameter lives exactly as long as the frame.
inline std::atomic<int> frames_alive{0};
struct counted_frame {
    counted_frame() { ++frames_alive; }
    counted_frame(const counted_frame&) { ++frames_alive; }
    ~counted_frame() { --frames_alive; }
};
