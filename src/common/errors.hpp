// Internal failures of the core: a broken invariant that input cannot cause. They travel as
// C++ exceptions on the calling thread only (worker tasks catch, the pool reports, the
// caller rethrows after the join) and end at the module boundary as a Python exception.
// Allocation failure travels the same way as std::bad_alloc.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrilune {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

// Checks an invariant that must hold in release builds too (stage boundaries, buffer
// sizes). Hot loops use assert() instead.
inline void require(bool condition, const char* what) {
    if (!condition) {
        throw InternalError(what);
    }
}

}  // namespace kestrilune
