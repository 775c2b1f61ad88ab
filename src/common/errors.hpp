// Internal failures of the core: a broken invariant that input cannot cause. They travel as
// C++ exceptions on the calling thread only (worker tasks catch, the pool reports, the
// caller rethrows after the join) and end at the module boundary as a Python exception.
// Allocation failure travels the same way as std::bad_alloc.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace kestrilune {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

// A size that cannot fit in the memory the process may use, found before allocating it. It
// is an allocation failure (handlers of std::bad_alloc catch it) that says what was too
// large, so the caller can be told more than "out of memory".
class TooLarge : public std::bad_alloc {
public:
    explicit TooLarge(std::string what) : what_(std::move(what)) {}
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string what_;
};

// Checks an invariant that must hold in release builds too (stage boundaries, buffer
// sizes). Hot loops use assert() instead.
inline void require(bool condition, const char* what) {
    if (!condition) {
        throw InternalError(what);
    }
}

}  // namespace kestrilune
