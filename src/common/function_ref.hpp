// FunctionRef<R(Args...)>: a non-owning reference to a callable, for an interface that
// calls back into its caller (a kernel handing out results) without being a template and
// without the allocation of std::function. It must not outlive the callable it refers to,
// so it is passed down as an argument and never stored.
//
//     void for_each_tile(FunctionRef<void(const Tile&)> sink);
//     for_each_tile([&](const Tile& tile) { total += tile.size(); });
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace kestrilune {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
                 std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& f) noexcept  // NOLINT: implicit, like a function pointer parameter
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(
                  std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace kestrilune
