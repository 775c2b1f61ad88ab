// Result<T, E>: a value or an error, for the parts of the core that report input errors
// as values. Same names as std::expected (has_value, value, error, operator bool), so a
// move to C++23 is a rename.
//
//     Result<Tree, NewickParseError> r = Tree::from_newick("(A,B);");
//     if (!r) return unexpected(r.error());
//     Tree tree = std::move(r).value();
//
// Internal failures (allocation, broken invariants) are not results: they are C++
// exceptions on the calling thread, turned into Python exceptions at the module boundary
// (see common/errors.hpp).
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestrilune {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    // Implicit on purpose: `return value;` and `return unexpected(err);` both read well.
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    template <class G>
        requires std::is_constructible_v<E, G&&>
    Result(Unexpected<G> e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT

    bool has_value() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & {
        assert(has_value());
        return std::get<0>(v_);
    }
    const T& value() const& {
        assert(has_value());
        return std::get<0>(v_);
    }
    T&& value() && {
        assert(has_value());
        return std::get<0>(std::move(v_));
    }
    const E& error() const& {
        assert(!has_value());
        return std::get<1>(v_);
    }
    E&& error() && {
        assert(!has_value());
        return std::get<1>(std::move(v_));
    }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, E> v_;  // index 0: value, index 1: error (T and E may be the same type)
};

}  // namespace kestrilune
