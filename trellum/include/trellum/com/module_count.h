#pragma once
// Ties object lifetimes to the lock count of the module that serves them.
//
// A module that uses increments_module_count supplies these two functions; they change its
// lock count atomically and return the new count. Code that never uses the base need not
// define them.

namespace Trellum {
namespace com {

long module_lock() noexcept;
long module_unlock() noexcept;

// Base of a class whose live objects keep the module loaded: every object that a client can
// hold. value<T> adds one to the lock count when an object is completely constructed (so that
// a constructor that throws leaves the count untouched) and takes it away after the object's
// destructor has run.
class increments_module_count {
protected:
    increments_module_count() noexcept = default;
    increments_module_count(const increments_module_count&) = delete;
    increments_module_count& operator=(const increments_module_count&) = delete;

public:
    void count_in_module() noexcept { module_lock(); }
};

} // namespace com
} // namespace Trellum
